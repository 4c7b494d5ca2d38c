# Crypto tests that drive outside programs: dkimpy as a canonicalization
# oracle, the openssl command line for keys and signature checks.
tollbrook_tests(crypto_interop_tests
  SOURCES crypto_canonicalization_oracle_test.cpp crypto_key_test.cpp
  LIBRARIES program_test_support
)
