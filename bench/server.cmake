# Server round trips while recording; uses the server tests' device-simulator
# and client helpers, so it is built with the tests.
if(TARGET server_test_support)
  add_executable(server_roundtrip_bench ${CMAKE_CURRENT_SOURCE_DIR}/server_roundtrip_bench.cpp)
  target_link_libraries(server_roundtrip_bench PRIVATE server_test_support vexar_ts)
  target_include_directories(server_roundtrip_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/server)
endif()
# The SageTV soak: the program in server mode against the real-time device
# simulator, driven as SageTV drives it, with faults (bench/sagetv-soak runs it).
if(TARGET vexar_test_support AND NOT WIN32)
  add_executable(sagetv_soak ${CMAKE_CURRENT_SOURCE_DIR}/sagetv_soak.cpp ${CMAKE_CURRENT_SOURCE_DIR}/soak_episodes.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/soak_report.cpp ${CMAKE_CURRENT_SOURCE_DIR}/soak_process.cpp)
  target_link_libraries(sagetv_soak PRIVATE vexar_test_support Threads::Threads)
  add_dependencies(sagetv_soak vexarhd vexarhd-devsim)
endif()
