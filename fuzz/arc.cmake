# libFuzzer target of ARC set collection (clang, -DTOLLBROOK_FUZZ=ON). Its
# corpus is replayed as an ordinary test by tests/arc.cmake in every build.
target_compile_options(tb_arc PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(arc_sets_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/arc_sets_fuzz.cpp)
target_compile_options(arc_sets_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(arc_sets_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(arc_sets_fuzz PRIVATE tollbrook)
