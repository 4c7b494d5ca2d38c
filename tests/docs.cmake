# The manual pages under man/ must be clean for `mandoc -T lint -W warning`.
# This file plays two parts. Included from tests/CMakeLists.txt it declares the
# test `man_pages_lint`; run by that test with `cmake -P` it lints the pages:
#   cmake -DMANDOC=<mandoc or empty> -DMAN_DIR=<root>/man -P tests/docs.cmake
# The pages are looked up when the test runs, so a page added later is linted
# without a new cmake run. Without mandoc the test is reported as skipped.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  if(BUILD_TESTING)
    find_program(TOLLBROOK_MANDOC NAMES mandoc)
    if(NOT TOLLBROOK_MANDOC)
      message(STATUS "Tests: mandoc not found; man_pages_lint will skip")
      set(TOLLBROOK_MANDOC "")
    endif()
    tollbrook_add_test(man_pages_lint ${CMAKE_COMMAND} "-DMANDOC=${TOLLBROOK_MANDOC}"
                       -DMAN_DIR=${PROJECT_SOURCE_DIR}/man -P ${CMAKE_CURRENT_LIST_FILE})
    set_tests_properties(man_pages_lint PROPERTIES SKIP_REGULAR_EXPRESSION "mandoc not found")
  endif()
  return()
endif()

if(NOT MANDOC)
  message("man_pages_lint: mandoc not found; install mandoc (Debian package mandoc)"
          " to lint the manual pages")
  return()
endif()

file(GLOB pages LIST_DIRECTORIES false ${MAN_DIR}/*.[1-8])
list(SORT pages)
if(NOT pages)
  message(FATAL_ERROR "no manual pages found in ${MAN_DIR}")
endif()

set(failed "")
foreach(page IN LISTS pages)
  execute_process(COMMAND ${MANDOC} -T lint -W warning ${page}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  get_filename_component(name ${page} NAME)
  if(NOT status EQUAL 0)
    message("${output}")
    list(APPEND failed ${name})
  else()
    message(STATUS "${name}: clean")
  endif()
endforeach()

if(failed)
  list(JOIN failed ", " text)
  message(FATAL_ERROR "mandoc -T lint -W warning reports problems in: ${text}")
endif()
