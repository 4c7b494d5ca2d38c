# tollbrook-testkey: checks a published key record against a local private key.
include(${CMAKE_CURRENT_LIST_DIR}/common/tool_common.cmake)
add_library(tb_testkey OBJECT testkey/local_key.cpp)
target_link_libraries(tb_testkey PUBLIC tb_crypto)

add_executable(tollbrook-testkey testkey/main.cpp)
target_link_libraries(tollbrook-testkey PRIVATE tb_testkey tollbrook_tool_common)

tollbrook_tests(testkey_tests
  SOURCES testkey/local_key_test.cpp
  LIBRARIES tb_testkey
)
