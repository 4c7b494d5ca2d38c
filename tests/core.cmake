# Replays the committed fuzz corpora of the message core through the fuzz
# targets, without libFuzzer, so plain and sanitizer builds run them.
foreach(target message_parse message_text tag_list base64)
  add_executable(${target}_replay ${PROJECT_SOURCE_DIR}/fuzz/${target}_fuzz.cpp
                                  ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
  target_link_libraries(${target}_replay PRIVATE tollbrook)
  tollbrook_add_test(${target}_corpus ${target}_replay ${PROJECT_SOURCE_DIR}/fuzz/${target}_corpus)
endforeach()

# parseMessage against an independent RFC 822 reader (dkimpy, run with python3).
tollbrook_tests(core_oracle_tests
  SOURCES ${PROJECT_SOURCE_DIR}/tests/core_message_oracle_test.cpp
  LIBRARIES program_test_support
)
