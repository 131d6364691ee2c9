# The recorder's output: uploads through SageTV's media server against local
# writes; uses the tests' stand-in media server, so it is built with the tests.
if(TARGET vexar_test_support AND NOT WIN32)
  add_executable(upload_bench ${CMAKE_CURRENT_SOURCE_DIR}/upload_bench.cpp)
  target_link_libraries(upload_bench PRIVATE vexar_recorder vexar_test_support)
endif()
