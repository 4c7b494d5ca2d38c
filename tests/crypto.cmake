# Crypto tests that drive outside programs: dkimpy as a canonicalization
# oracle, the openssl command line for keys and signature checks.
tollbrook_tests(crypto_interop_tests
  SOURCES crypto_canonicalization_oracle_test.cpp crypto_key_test.cpp
  LIBRARIES program_test_support
)

# The committed corpus of the canonicalization fuzz target, replayed without libFuzzer.
add_executable(canonicalization_replay ${PROJECT_SOURCE_DIR}/fuzz/canonicalization_fuzz.cpp
                                       ${PROJECT_SOURCE_DIR}/fuzz/message_replay_main.cpp)
target_link_libraries(canonicalization_replay PRIVATE tollbrook)
tollbrook_add_test(canonicalization_corpus canonicalization_replay
                   ${PROJECT_SOURCE_DIR}/fuzz/canonicalization_corpus)
