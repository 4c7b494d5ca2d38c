# The example configuration and the configuration manual page, held to the
# daemon's key lists and loaded with the daemon's configuration builder.
tollbrook_tests(docs_config_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/docs_config_test.cpp
  LIBRARIES tb_config
)
