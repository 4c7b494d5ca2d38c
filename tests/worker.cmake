# The worker loop on real sockets: a worker thread served over loopback (inet
# and unix) by the test MTA of tests/milter_client.*.
add_library(worker_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/worker_harness.cpp)
target_link_libraries(worker_test_support PUBLIC tollbrook_daemon dns_test_support)

tollbrook_tests(worker_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/worker_test.cpp
  LIBRARIES worker_test_support tollbrook_daemon milter_test_support program_test_support
            dns_test_support
)
