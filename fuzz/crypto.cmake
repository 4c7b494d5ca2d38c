# libFuzzer target of the canonicalizers and signing-input helpers (clang,
# -DTOLLBROOK_FUZZ=ON). Its corpus is replayed as an ordinary test by
# tests/crypto.cmake in every build. The crypto layer gets coverage
# instrumentation so the fuzzer sees its branches.
target_compile_options(tb_crypto PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(canonicalization_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/canonicalization_fuzz.cpp)
target_compile_options(canonicalization_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(canonicalization_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(canonicalization_fuzz PRIVATE tollbrook)
