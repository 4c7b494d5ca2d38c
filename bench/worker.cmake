# The worker loop and codec against a minimal milter loop, run by hand (not
# part of ctest). Uses the test MTA of tests/milter_client.*.
add_executable(worker_bench ${CMAKE_CURRENT_SOURCE_DIR}/worker_bench.cpp)
target_link_libraries(worker_bench PRIVATE tollbrook_daemon milter_test_support tollbrook)
