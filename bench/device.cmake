# Input-ring throughput from the device simulator against a direct file read;
# uses the device tests' simulator support, so it is built with the tests.
if(TARGET device_test_support)
  add_executable(device_ring_bench ${CMAKE_CURRENT_SOURCE_DIR}/device_ring_bench.cpp)
  target_link_libraries(device_ring_bench PRIVATE device_test_support vexar_device)
  add_dependencies(device_ring_bench vexarhd-devsim)
endif()
