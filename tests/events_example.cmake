# The example event collector of examples/ run against the daemon's publisher.
tollbrook_tests(events_example_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/events_example_test.cpp
  LIBRARIES tb_events program_test_support
)
if(BUILD_TESTING)
  add_dependencies(events_example_tests event_subscriber)
endif()
