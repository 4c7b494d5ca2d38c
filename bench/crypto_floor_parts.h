// The crypto floor of ARC work as straight OpenSSL calls, shared by the
// benchmarks that compare the daemon with it: the signing inputs a 3-set
// chain's verification hashes and checks, and one RSA-SHA256 verification,
// signature and body digest each. Every call exits the benchmark on failure.
// Caller owns all results; one thread per call.
#ifndef TOLLBROOK_BENCH_CRYPTO_FLOOR_PARTS_H_
#define TOLLBROOK_BENCH_CRYPTO_FLOOR_PARTS_H_

#include <openssl/evp.h>

#include <span>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "core/message.h"

namespace tollbrook::bench {

struct SignedInput {
  std::string input, signature;
};

// The newest AMS's signing input first, then each set's ARC-Seal input from
// the oldest: what a chain's validation must verify.
std::vector<SignedInput> signedInputs(const Message& message, std::span<const ArcSet> sets);

void verifyOrDie(EVP_PKEY* key, const SignedInput& signedInput);
void signOrDie(EVP_PKEY* key, const std::string& data);
void sha256OrDie(const std::string& bytes);

}  // namespace tollbrook::bench

#endif  // TOLLBROOK_BENCH_CRYPTO_FLOOR_PARTS_H_
