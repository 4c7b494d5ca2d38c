// The crypto floor of ARC work as straight OpenSSL calls, shared by the
// benchmarks that compare the daemon with it: the signing inputs a 3-set
// chain's verification hashes and checks, and one RSA-SHA256 verification,
// signature and body digest each. Every call exits the benchmark on failure.
// Caller owns all results; one thread per call. cpuMicroseconds measures the
// calling thread's CPU time, so other load on the machine disturbs it least.
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
std::vector<SignedInput> signedInputs(std::span<const HeaderField> headers,
                                      std::span<const ArcSet> sets);

void verifyOrDie(EVP_PKEY* key, const SignedInput& signedInput);
void signOrDie(EVP_PKEY* key, const std::string& data);
void sha256OrDie(const std::string& bytes);

double threadCpuSeconds();

// CPU microseconds of the calling thread per run of `work`, over about
// `seconds` of CPU.
template <typename Work>
double cpuMicroseconds(double seconds, Work work) {
  const double start = threadCpuSeconds();
  long runs = 0;
  double used = 0;
  do {
    for (int i = 0; i < 10; ++i) work();
    runs += 10;
    used = threadCpuSeconds() - start;
  } while (used < seconds);
  return used * 1e6 / static_cast<double>(runs);
}

}  // namespace tollbrook::bench

#endif  // TOLLBROOK_BENCH_CRYPTO_FLOOR_PARTS_H_
