# chat-bench: load, latency, handshake, idle and soak runs against a server.
# Its delivery checks and its soak are test code, kept under tests/load/.
add_executable(chat-bench
  ${CMAKE_CURRENT_LIST_DIR}/ChatBench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchArgs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchLoad.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChatBenchConn.cpp
  ${PROJECT_SOURCE_DIR}/tests/load/StampedRun.cpp
  ${PROJECT_SOURCE_DIR}/tests/load/ChatSoak.cpp)
target_link_libraries(chat-bench PRIVATE wsclient chatclient protect platform)
