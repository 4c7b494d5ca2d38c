# The load generator of bench/ against the trivial milter and the built daemon,
# so the tools behind docs/performance.md keep working. Nothing is timed.
tollbrook_tests(bench_load_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_load_test.cpp
  LIBRARIES daemon_test_support milter_test_support program_test_support dnsmasq_test_support
)
add_dependencies(bench_load_tests milter-load trivial-milter tollbrook-daemon)
