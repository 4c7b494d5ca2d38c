# The event publisher against real ZeroMQ SUB sockets on loopback, with
# python3's json module reading the records.
tollbrook_tests(events_publisher_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/events_publisher_test.cpp
  LIBRARIES tb_events program_test_support
)
