# Body canonicalization benchmark, run by hand (not part of ctest).
add_executable(canon_bench ${CMAKE_CURRENT_SOURCE_DIR}/canon_bench.cpp)
target_link_libraries(canon_bench PRIVATE tollbrook)
