# The daemon's message handling end to end: workers with the real handling,
# dkimpy's chains and keys in dnsmasq, the scriptable DNS server, a ZeroMQ
# collector, and the built tollbrook-check judging what is delivered.
add_library(handling_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/handling_daemon.cpp)
target_link_libraries(handling_test_support PUBLIC worker_test_support milter_test_support
                                                   GTest::gtest)

tollbrook_tests(handling_daemon_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/handling_test.cpp
  LIBRARIES handling_test_support worker_test_support milter_test_support arc_test_support
            program_test_support dns_test_support dnsmasq_test_support tollbrook_daemon
            event_collector_support
)
add_dependencies(handling_daemon_tests tollbrook-check)

# Hostile chains (tests/hostile/, and ones made from dkimpy's chains) through
# tollbrook-check and through a worker with the real handling.
tollbrook_tests(hostile_chain_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_chains_test.cpp
  LIBRARIES handling_test_support worker_test_support milter_test_support arc_test_support
            program_test_support dns_test_support dnsmasq_test_support tollbrook_daemon
)
add_dependencies(hostile_chain_tests tollbrook-check)
