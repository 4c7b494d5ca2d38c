# tollbrook-seal: seals a message file and prints the new ARC set.
include(${CMAKE_CURRENT_LIST_DIR}/common/tool_common.cmake)
add_executable(tollbrook-seal
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_options.cpp
)
target_link_libraries(tollbrook-seal PRIVATE tollbrook_tool_common)

# The shared tool helpers as tollbrook-seal uses them.
tollbrook_tests(seal_tool_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/common/tool_support_test.cpp
  LIBRARIES tollbrook_tool_common
)
