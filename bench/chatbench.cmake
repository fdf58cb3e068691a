# chat-bench: load, latency, handshake, idle and soak runs against a server.
add_executable(chat-bench
  ${CMAKE_CURRENT_LIST_DIR}/ChatBench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchArgs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchRoom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchLoad.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchSoak.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchConn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchProc.cpp)
target_link_libraries(chat-bench PRIVATE chatclient protect platform)
