# Milter codec benchmark, run by hand (not part of ctest).
add_executable(milter_bench ${CMAKE_CURRENT_SOURCE_DIR}/milter_bench.cpp)
target_link_libraries(milter_bench PRIVATE milter_test_support tollbrook)
