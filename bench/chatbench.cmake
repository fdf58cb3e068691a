# chat-bench: load, latency, handshake and idle figures for a running server.
add_executable(chat-bench
  ${CMAKE_CURRENT_LIST_DIR}/ChatBench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchLoad.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchConn.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchProc.cpp)
target_link_libraries(chat-bench PRIVATE chatclient protect platform)
