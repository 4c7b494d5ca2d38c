# tollbrook-seal: seals a message file and prints the new ARC set.
include(${CMAKE_CURRENT_LIST_DIR}/common/tool_common.cmake)
add_executable(tollbrook-seal
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seal/seal_options.cpp
)
target_link_libraries(tollbrook-seal PRIVATE tollbrook_tool_common tollbrook)
