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

# The committed corpora of the ARC fuzz targets, replayed without libFuzzer.
foreach(target arc_sets auth_results key_record arc_chain)
  add_executable(${target}_replay ${PROJECT_SOURCE_DIR}/fuzz/${target}_fuzz.cpp
                                  ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
  target_link_libraries(${target}_replay PRIVATE tollbrook)
  tollbrook_add_test(${target}_corpus ${target}_replay ${PROJECT_SOURCE_DIR}/fuzz/${target}_corpus)
endforeach()
