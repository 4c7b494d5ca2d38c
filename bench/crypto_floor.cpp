// crypto-floor: the least CPU that ARC work on one message can take, as
// straight OpenSSL calls, for the load table. Verify: the SHA-256 of the
// canonical body and the RSA-SHA256 verifications the chain needs (the
// newest AMS and every ARC-Seal, each hashing its header signing input).
// Both: the same plus the two RSA-SHA256 signatures of a new set (one AMS, one
// ARC-Seal, over inputs of the size the chain's own have). Measured in thread
// CPU time, in slices, the best slice counting. Run by hand:
//
//   crypto-floor <message-file> <p= of the chain's key> <seal-key.pem> [seconds]
//
// The last line is one "RESULT verify_us=... both_us=..." line for scripts.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "arc/public_key_cache.h"
#include "bench/crypto_floor_parts.h"
#include "core/message.h"
#include "crypto/canonicalization.h"

namespace tollbrook::bench {
namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "crypto-floor: %s\n", what);
  std::exit(1);
}

EvpPkeyPtr readPrivateKey(const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) die("cannot open the seal key");
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr) die("cannot read the seal key");
  return EvpPkeyPtr(key);
}

int run(int argc, char** argv) {
  if (argc < 4) die("usage: crypto-floor <message-file> <p-value> <seal-key.pem> [seconds]");
  const double seconds = argc > 4 ? std::atof(argv[4]) : 4.0;
  Result<Message> message = readMessageFile(argv[1]);
  if (!message) die("cannot read the message");
  Result<std::vector<ArcSet>> sets = collectArcSets(message->headers);
  if (!sets || sets->empty()) die("the message has no ARC chain");
  const std::vector<SignedInput> inputs = signedInputs(message->headers, *sets);
  Result<EvpPkeyPtr> chainKey = decodePublicKey(argv[2]);
  if (!chainKey) die("cannot decode the chain's public key");
  const EvpPkeyPtr sealKey = readPrivateKey(argv[3]);

  BodyCanonicalizer canon(CanonicalizationMode::Relaxed);
  if (!canon.update(message->body)) die("canonicalization failed");
  const std::string canonicalBody = canon.finish().value();
  const std::string& amsInput = inputs.front().input;
  const std::string& sealInput = inputs.back().input;

  auto verifyFloor = [&] {
    sha256OrDie(canonicalBody);
    for (const SignedInput& s : inputs) verifyOrDie(chainKey->get(), s);
  };
  auto bothFloor = [&] {
    verifyFloor();
    signOrDie(sealKey.get(), amsInput);
    signOrDie(sealKey.get(), sealInput);
  };
  double verify = 1e9, both = 1e9;
  constexpr int kSlices = 6;
  for (int i = 0; i < kSlices; ++i) {
    verify = std::min(verify, cpuMicroseconds(seconds / (2 * kSlices), verifyFloor));
    both = std::min(both, cpuMicroseconds(seconds / (2 * kSlices), bothFloor));
  }
  std::printf(
      "verify floor (%zu sets: body SHA-256 of %zu bytes + %zu RSA verifications): %.1f us\n",
      sets->size(), canonicalBody.size(), inputs.size(), verify);
  std::printf("both floor (the above + 2 RSA signatures): %.1f us\n", both);
  std::printf("RESULT verify_us=%.1f both_us=%.1f\n", verify, both);
  return 0;
}

}  // namespace
}  // namespace tollbrook::bench

int main(int argc, char** argv) {
  return tollbrook::bench::run(argc, argv);
}
