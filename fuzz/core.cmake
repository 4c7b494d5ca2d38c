# libFuzzer targets of the message core (clang, -DTOLLBROOK_FUZZ=ON). Their
# corpora are replayed as ordinary tests by tests/core.cmake in every build.
# The core library gets coverage instrumentation so the fuzzer sees its branches.
target_compile_options(tb_core PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
foreach(target message_parse_fuzz message_text_fuzz tag_list_fuzz base64_fuzz)
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/${target}.cpp)
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE tollbrook)
endforeach()
