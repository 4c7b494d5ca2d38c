# The built daemon run as a process: start-up and its failures, detaching and
# the pid file, the privilege drop (as root, with a throwaway system user),
# reloads on SIGHUP and the draining shutdown, talked to through the test MTA
# and, for key lookups, a dnsmasq on port 53 of a loopback address of its own.
add_library(daemon_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/daemon_support.cpp)
target_link_libraries(daemon_test_support PUBLIC tb_core OpenSSL::Crypto GTest::gtest)
tollbrook_test_definitions(daemon_test_support)

foreach(area startup reload shutdown)
  tollbrook_tests(daemon_${area}_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_${area}_test.cpp
    LIBRARIES daemon_test_support milter_test_support program_test_support dns_test_support dnsmasq_test_support
              startup_test_support
  )
  add_dependencies(daemon_${area}_tests tollbrook-daemon tollbrook-check)
endforeach()

# A small MTA for trying the daemon by hand (scripts/send-sample.sh): sends a
# message file and prints what the daemon asked to change. Not installed.
add_executable(milter-send ${CMAKE_CURRENT_LIST_DIR}/milter_send.cpp)
target_link_libraries(milter-send PRIVATE milter_test_support tollbrook)

# The daemon under faults: nameserver restarts, stalled peers, the connection
# limit, SIGHUP and SIGTERM under load, a key domain that never answers.
tollbrook_tests(daemon_faults_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_faults_test.cpp
  LIBRARIES daemon_test_support milter_test_support program_test_support dns_test_support
            dnsmasq_test_support arc_test_support
)
add_dependencies(daemon_faults_tests tollbrook-daemon)

# A load of MTAs for scripts/soak.sh. Not installed.
add_executable(milter-soak ${CMAKE_CURRENT_LIST_DIR}/milter_soak.cpp)
target_link_libraries(milter-soak PRIVATE milter_test_support tollbrook)
