# Scan plus routing over an in-memory multiplex, against memcpy.
add_executable(ts_scan_bench ${CMAKE_CURRENT_SOURCE_DIR}/ts_scan_bench.cpp)
target_link_libraries(ts_scan_bench PRIVATE vexar_ts)
