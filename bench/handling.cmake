# End-of-message handling beside its crypto floor, run by hand (not part of
# ctest). Uses dkimpy for the chain and the DNS test server for the keys.
add_executable(handling_bench ${CMAKE_CURRENT_SOURCE_DIR}/handling_bench.cpp)
target_link_libraries(handling_bench PRIVATE tollbrook_daemon bench_support dns_test_support
                      program_test_support)
tollbrook_test_definitions(handling_bench)
