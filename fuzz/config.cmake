# libFuzzer target of the configuration reader and builder (clang,
# -DTOLLBROOK_FUZZ=ON). Its corpus is replayed as an ordinary test by
# tests/config.cmake in every build. The configuration code gets coverage
# instrumentation so the fuzzer sees its branches.
target_compile_options(tb_config PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(config_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/config_fuzz.cpp)
target_compile_options(config_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(config_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(config_fuzz PRIVATE tb_config tollbrook)
