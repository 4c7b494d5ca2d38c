# Tests of tollbrook-seal and tollbrook-testkey that run the built tools beside
# real programs: dkimpy (tests/seal_oracle.py), openssl, dnsmasq, tollbrook-check
# and the scriptable DNS server.
add_library(seal_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/seal_test_support.cpp)
target_include_directories(seal_test_support PUBLIC ${PROJECT_SOURCE_DIR})

tollbrook_tests(seal_interop_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/seal_interop_test.cpp
  LAYERS core platform
)
target_link_libraries(seal_interop_tests PRIVATE seal_test_support arc_test_support
                      program_test_support dns_test_support)
add_dependencies(seal_interop_tests tollbrook-seal tollbrook-check)

tollbrook_tests(seal_cli_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/seal_cli_test.cpp
  LAYERS core platform
)
target_link_libraries(seal_cli_tests PRIVATE seal_test_support arc_test_support
                      program_test_support dns_test_support)
add_dependencies(seal_cli_tests tollbrook-seal)

tollbrook_tests(testkey_cli_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/testkey_cli_test.cpp
  LAYERS core platform
)
target_link_libraries(testkey_cli_tests PRIVATE seal_test_support arc_test_support
                      program_test_support dns_test_support)
add_dependencies(testkey_cli_tests tollbrook-testkey)
