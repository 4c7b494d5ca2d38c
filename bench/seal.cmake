# Sealing benchmark, run by hand (not part of ctest).
add_executable(seal_bench ${CMAKE_CURRENT_SOURCE_DIR}/seal_bench.cpp)
target_link_libraries(seal_bench PRIVATE tollbrook bench_support)
