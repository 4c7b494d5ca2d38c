# The support every test that runs a real program links: a scratch directory,
# file reads and writes, program runs with their output captured and a bound on
# how long they may take, where the outside programs are, and the cache of
# files that are slow to make.
add_library(program_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/program_run.cpp
                                        ${CMAKE_CURRENT_LIST_DIR}/fixture_cache.cpp)
target_include_directories(program_test_support PUBLIC ${PROJECT_SOURCE_DIR})
tollbrook_test_definitions(program_test_support)

tollbrook_tests(program_run_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/program_run_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fixture_cache_test.cpp
  LIBRARIES program_test_support
)
