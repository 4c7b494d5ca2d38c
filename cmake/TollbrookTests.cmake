# Helpers for declaring tests. Every test gets a timeout, so a hung program
# cannot hang the suite. The outside programs that tests run are found here,
# once, and handed to the test binaries as definitions.

set(TOLLBROOK_TEST_TIMEOUT 180 CACHE STRING "Timeout of each ctest test, in seconds")

if(BUILD_TESTING)
  # The outside programs tests run. A missing one becomes an empty definition,
  # and the tests that need it skip, saying which program is missing.
  find_program(TOLLBROOK_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(TOLLBROOK_PYTHON3 NAMES python3)
  find_program(TOLLBROOK_OPENSSL NAMES openssl)
  find_program(TOLLBROOK_DNSMASQ NAMES dnsmasq PATHS /usr/sbin /sbin)
  # Postfix, for the tests that run a private instance of it. Only Debian's
  # place is searched: a sendmail elsewhere on the path may belong to another
  # MTA.
  find_program(TOLLBROOK_POSTFIX NAMES postfix PATHS /usr/sbin NO_DEFAULT_PATH)
  find_program(TOLLBROOK_POSTFIX_SENDMAIL NAMES sendmail PATHS /usr/sbin NO_DEFAULT_PATH)
  find_program(TOLLBROOK_POSTQUEUE NAMES postqueue PATHS /usr/sbin NO_DEFAULT_PATH)
  # python3 serves as the host of dkimpy, the independent ARC implementation the
  # oracle tests compare with: without the module it is of no use to them.
  if(TOLLBROOK_PYTHON3)
    execute_process(COMMAND ${TOLLBROOK_PYTHON3} -c "import dkim, dkim.arcsign"
                    RESULT_VARIABLE dkimpy_missing OUTPUT_QUIET ERROR_QUIET)
    if(dkimpy_missing)
      message(STATUS "Tests: ${TOLLBROOK_PYTHON3} cannot import dkimpy (python3-dkim)")
      set(TOLLBROOK_PYTHON3 "" CACHE FILEPATH "" FORCE)
    endif()
  endif()
  foreach(program PYTHON3 OPENSSL DNSMASQ POSTFIX POSTFIX_SENDMAIL POSTQUEUE)
    if(NOT TOLLBROOK_${program})
      message(STATUS "Tests: ${program} not found; the tests that need it will skip")
      set(TOLLBROOK_${program} "")
    endif()
  endforeach()
endif()

# Definitions every test binary gets: where the sources and the build are, and
# the outside programs.
function(tollbrook_test_definitions target)
  target_compile_definitions(${target} PRIVATE
    TOLLBROOK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TOLLBROOK_BINARY_DIR="${PROJECT_BINARY_DIR}"
    TOLLBROOK_PYTHON3="${TOLLBROOK_PYTHON3}"
    TOLLBROOK_OPENSSL="${TOLLBROOK_OPENSSL}"
    TOLLBROOK_DNSMASQ="${TOLLBROOK_DNSMASQ}"
    TOLLBROOK_POSTFIX="${TOLLBROOK_POSTFIX}"
    TOLLBROOK_POSTFIX_SENDMAIL="${TOLLBROOK_POSTFIX_SENDMAIL}"
    TOLLBROOK_POSTQUEUE="${TOLLBROOK_POSTQUEUE}")
endfunction()

# A GoogleTest binary: SOURCES, and LIBRARIES beyond `tollbrook` (the library
# holds every layer a unit test can name). Each test case is one ctest test.
function(tollbrook_tests name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} tollbrook tb_testsupport GTest::gtest
                                        GTest::gtest_main)
  tollbrook_test_definitions(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${TOLLBROOK_TEST_TIMEOUT}
                                  ENVIRONMENT "TOLLBROOK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# A plain ctest test (a corpus replay, a script) with the suite's timeout.
function(tollbrook_add_test name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${TOLLBROOK_TEST_TIMEOUT})
endfunction()
