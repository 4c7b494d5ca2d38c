# Tests of the milter codec through the test MTA (tests/milter_client.*), which
# speaks the MTA side of the protocol as Postfix does, and against dkimpy's
# chains. The client is a library of its own so benchmarks can use it too.
add_library(milter_test_support OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/milter_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/milter_codec_peer.cpp
)
target_link_libraries(milter_test_support PUBLIC tb_milter Threads::Threads)

tollbrook_tests(milter_conversation_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/milter_conversation_test.cpp
  LIBRARIES milter_test_support
)

tollbrook_tests(milter_oracle_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/milter_oracle_test.cpp
  LIBRARIES milter_test_support arc_test_support program_test_support
)

# The committed corpus of the codec fuzz target, replayed without libFuzzer.
add_executable(milter_codec_replay ${PROJECT_SOURCE_DIR}/fuzz/milter_codec_fuzz.cpp
                                   ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
target_link_libraries(milter_codec_replay PRIVATE tollbrook)
tollbrook_add_test(milter_codec_corpus milter_codec_replay ${PROJECT_SOURCE_DIR}/fuzz/milter_codec_corpus)

# Writes the seeds of that corpus: conversations of the test MTA, as the codec
# received them. Run by hand: milter_codec_seeds <directory>.
add_executable(milter_codec_seeds ${CMAKE_CURRENT_LIST_DIR}/milter_codec_seeds.cpp)
target_link_libraries(milter_codec_seeds PRIVATE milter_test_support tollbrook)
