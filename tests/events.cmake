# The event publisher against real ZeroMQ SUB sockets on loopback, with
# python3's json module reading the records.
# The collector (a SUB socket) is shared with the handling tests.
add_library(event_collector_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/event_collector.cpp)
target_include_directories(event_collector_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(event_collector_support PUBLIC tb_events GTest::gtest)

tollbrook_tests(events_publisher_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/events_publisher_test.cpp
  LIBRARIES tb_events program_test_support event_collector_support
)
