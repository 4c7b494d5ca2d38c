# The support every test that runs a real program links: a scratch directory,
# file reads and writes, program runs with their output captured and a bound on
# how long they may take, and where the outside programs are.
add_library(program_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/program_run.cpp)
target_include_directories(program_test_support PUBLIC ${PROJECT_SOURCE_DIR})
tollbrook_test_definitions(program_test_support)
