# libFuzzer target of the milter codec (clang, -DTOLLBROOK_FUZZ=ON). Its corpus
# is replayed as an ordinary test by tests/milter.cmake in every build.
target_compile_options(tb_milter PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(milter_codec_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/milter_codec_fuzz.cpp)
target_compile_options(milter_codec_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(milter_codec_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(milter_codec_fuzz PRIVATE tollbrook)
