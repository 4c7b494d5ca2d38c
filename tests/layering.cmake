# The include order of the layers (see docs/design.md), checked on every run.
tollbrook_add_test(layering ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -P ${PROJECT_SOURCE_DIR}/scripts/check_layers.cmake)
