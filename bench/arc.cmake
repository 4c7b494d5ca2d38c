# Chain validation benchmark, run by hand (not part of ctest). It serves the
# keys from the DNS test server of tests/dns.cmake through a real resolver.
add_executable(validate_bench ${CMAKE_CURRENT_SOURCE_DIR}/validate_bench.cpp)
target_link_libraries(validate_bench PRIVATE tollbrook bench_support dns_test_support)
