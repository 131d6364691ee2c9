# Server round trips while recording; uses the server tests' device-simulator
# and client helpers, so it is built with the tests.
if(TARGET server_test_support)
  add_executable(server_roundtrip_bench ${CMAKE_CURRENT_SOURCE_DIR}/server_roundtrip_bench.cpp)
  target_link_libraries(server_roundtrip_bench PRIVATE server_test_support vexar_ts)
  target_include_directories(server_roundtrip_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/server)
endif()
