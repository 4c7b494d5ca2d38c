#include "bench/crypto_floor_parts.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "core/base64.h"
#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"

namespace tollbrook::bench {
namespace {

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "crypto floor: %s\n", what);
  std::exit(1);
}

}  // namespace

std::vector<SignedInput> signedInputs(std::span<const HeaderField> headers,
                                      std::span<const ArcSet> sets) {
  std::vector<SignedInput> out;
  const ArcSet& newest = sets.back();
  std::string ams =
      stripSignatureValue(headerFieldText({"ARC-Message-Signature", newest.amsValue, true}).value())
          .value();
  out.push_back({amsSigningInput(headers, newest.amsH, CanonicalizationMode::Relaxed, ams).value(),
                 base64Decode(newest.amsB).value()});
  std::vector<SealedSetText> earlier;
  for (const ArcSet& set : sets) {
    std::string seal =
        stripSignatureValue(arcHeaderText("ARC-Seal", set.sealValue).value()).value();
    out.push_back({sealSigningInput(earlier, set.aarValue, set.amsValue, seal).value(),
                   base64Decode(set.sealB).value()});
    earlier.push_back({set.aarValue, set.amsValue, set.sealValue});
  }
  return out;
}

void verifyOrDie(EVP_PKEY* key, const SignedInput& s) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerifyUpdate(ctx, s.input.data(), s.input.size()) == 1 &&
      EVP_DigestVerifyFinal(ctx, reinterpret_cast<const unsigned char*>(s.signature.data()),
                            s.signature.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) die("verification failed");
}

void signOrDie(EVP_PKEY* key, const std::string& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char signature[512];
  size_t length = sizeof signature;
  if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx, signature, &length, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1) {
    die("signing failed");
  }
  EVP_MD_CTX_free(ctx);
}

void sha256OrDie(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    die("sha256 failed");
  }
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace tollbrook::bench
