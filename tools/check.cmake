# tollbrook-check: validates the ARC chain of a message file.
include(${CMAKE_CURRENT_LIST_DIR}/common/tool_common.cmake)
add_executable(tollbrook-check
  ${CMAKE_CURRENT_LIST_DIR}/check/check_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/check/check_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/check/check_verdict.cpp
)
target_link_libraries(tollbrook-check PRIVATE tollbrook_tool_common)

tollbrook_tests(check_verdict_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/check/check_verdict_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/check/check_verdict.cpp
)
