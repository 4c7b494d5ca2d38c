# libFuzzer targets of the ARC layer (clang, -DTOLLBROOK_FUZZ=ON): set
# collection, Authentication-Results values, key records, and a received chain
# validated, sealed and validated again. Their corpora are replayed as ordinary
# tests by tests/arc.cmake in every build.
target_compile_options(tb_arc PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
foreach(target arc_sets_fuzz auth_results_fuzz key_record_fuzz arc_chain_fuzz)
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/${target}.cpp)
  target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${target} PRIVATE tollbrook)
endforeach()
