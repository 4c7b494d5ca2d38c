# The support every test that runs a real program links: a scratch directory,
# file reads and writes, program runs with their output captured.
add_library(program_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/program_run.cpp)
target_include_directories(program_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(program_test_support
                           PRIVATE TOLLBROOK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                   TOLLBROOK_BINARY_DIR="${PROJECT_BINARY_DIR}")
