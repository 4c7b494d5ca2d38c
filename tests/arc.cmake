# Tests of ARC validation and tollbrook-check that run real programs: dkimpy
# (through tests/arc_oracle.py), dnsmasq and the built tool.
add_library(arc_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/arc_test_support.cpp)
target_link_libraries(arc_test_support PUBLIC tb_core)
tollbrook_test_definitions(arc_test_support)

tollbrook_tests(check_interop_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/check_interop_test.cpp
  LIBRARIES arc_test_support program_test_support dns_test_support
            dnsmasq_test_support
)
add_dependencies(check_interop_tests tollbrook-check)

tollbrook_tests(check_cli_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/check_cli_test.cpp
  LIBRARIES arc_test_support program_test_support
)
add_dependencies(check_cli_tests tollbrook-check)

# The committed corpus of the ARC set fuzz target, replayed without libFuzzer.
add_executable(arc_sets_replay ${PROJECT_SOURCE_DIR}/fuzz/arc_sets_fuzz.cpp
                               ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
target_link_libraries(arc_sets_replay PRIVATE tollbrook)
tollbrook_add_test(arc_sets_corpus arc_sets_replay ${PROJECT_SOURCE_DIR}/fuzz/arc_sets_corpus)
