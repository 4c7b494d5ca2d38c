# Tests against a private Postfix instance (tests/postfix_instance.*) that the
# test binary starts on loopback and removes again: what Postfix sends a milter,
# recorded with the daemon's codec (tests/postfix_milter_recorder.*), and how it
# applies header changes. Skipped, saying why, without Postfix or root.
add_library(postfix_test_support OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/postfix_instance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/postfix_milter_recorder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/postfix_smtp_client.cpp
)
target_link_libraries(postfix_test_support PUBLIC milter_test_support program_test_support)
tollbrook_test_definitions(postfix_test_support)

tollbrook_tests(postfix_milter_record_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/postfix_milter_record_test.cpp
  LIBRARIES postfix_test_support milter_test_support program_test_support
)

# The built daemon behind a private Postfix, with dnsmasq serving the keys and
# dkimpy and tollbrook-check judging what Postfix delivered.
tollbrook_tests(postfix_daemon_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/postfix_daemon_test.cpp
  LIBRARIES postfix_test_support daemon_test_support arc_test_support milter_test_support
            program_test_support dnsmasq_test_support
)
add_dependencies(postfix_daemon_tests tollbrook-daemon tollbrook-check)
