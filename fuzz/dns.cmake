# libFuzzer target of the DNS reply decoder (clang, -DTOLLBROOK_FUZZ=ON). Its
# corpus (fuzz/corpus/dns_response) is replayed as an ordinary test by
# tests/dns.cmake in every build. The dns layer gets coverage instrumentation.
target_compile_options(tb_dns PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
add_executable(fuzz_dns_response ${CMAKE_CURRENT_SOURCE_DIR}/dns_response_fuzz.cpp)
target_compile_options(fuzz_dns_response PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_dns_response PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(fuzz_dns_response PRIVATE tollbrook)
