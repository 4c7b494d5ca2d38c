# DNS resolver tests that run real servers on loopback: the scriptable test
# server, dnsmasq, and the replay of the committed fuzz corpus.
add_library(dns_test_support OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/dns_log_capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dns_test_server.cpp
)
target_link_libraries(dns_test_support PUBLIC tb_core)
tollbrook_test_definitions(dns_test_support)

# The dnsmasq launcher, apart from the rest: it reports through GoogleTest and
# runs dnsmasq with the program support, which the benchmarks do not link.
add_library(dnsmasq_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/dns_dnsmasq.cpp)
target_link_libraries(dnsmasq_test_support PUBLIC tb_core)
tollbrook_test_definitions(dnsmasq_test_support)

tollbrook_tests(dns_server_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dns_resolver_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dns_tcp_exchange_test.cpp
  LIBRARIES dns_test_support
)
tollbrook_tests(dns_monitor_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dns_monitor_test.cpp
  LIBRARIES dns_test_support
)
tollbrook_tests(dns_dnsmasq_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dns_dnsmasq_test.cpp
  LIBRARIES dns_test_support dnsmasq_test_support program_test_support
)

# The committed fuzz corpus of the reply decoder, replayed without libFuzzer.
add_executable(dns_response_replay ${PROJECT_SOURCE_DIR}/fuzz/dns_response_fuzz.cpp
                                   ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
target_link_libraries(dns_response_replay PRIVATE tollbrook)
tollbrook_add_test(dns_response_corpus dns_response_replay
                   ${PROJECT_SOURCE_DIR}/fuzz/corpus/dns_response)
