# The committed corpus of the configuration fuzz target, replayed without
# libFuzzer, so plain and sanitizer builds run it.
add_executable(config_replay ${PROJECT_SOURCE_DIR}/fuzz/config_fuzz.cpp
                             ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
target_link_libraries(config_replay PRIVATE tb_config tollbrook)
tollbrook_add_test(config_corpus config_replay ${PROJECT_SOURCE_DIR}/fuzz/config_corpus)
