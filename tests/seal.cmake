# Tests of tollbrook-seal and tollbrook-testkey that run the built tools beside
# real programs: dkimpy (tests/seal_oracle.py), openssl, dnsmasq, tollbrook-check
# and the scriptable DNS server.
add_library(seal_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/seal_test_support.cpp)
target_link_libraries(seal_test_support PUBLIC tb_core)
tollbrook_test_definitions(seal_test_support)

tollbrook_tests(seal_interop_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/seal_interop_test.cpp
  LIBRARIES seal_test_support arc_test_support program_test_support dns_test_support
            dnsmasq_test_support
)
add_dependencies(seal_interop_tests tollbrook-seal tollbrook-check)

tollbrook_tests(seal_cli_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/seal_cli_test.cpp
  LIBRARIES seal_test_support arc_test_support program_test_support dns_test_support
            dnsmasq_test_support
)
add_dependencies(seal_cli_tests tollbrook-seal)

tollbrook_tests(testkey_cli_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/testkey_cli_test.cpp
  LIBRARIES seal_test_support arc_test_support program_test_support dns_test_support
            dnsmasq_test_support
)
add_dependencies(testkey_cli_tests tollbrook-testkey)
