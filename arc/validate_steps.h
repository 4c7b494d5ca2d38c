// The steps validation repeats for each signature it checks (algorithm, key
// fetch, verification), worded per signature kind. Internal to arc/; used by
// validate_chain.cpp, validate_ams.cpp and validate_seal.cpp on the calling thread.
#ifndef TOLLBROOK_ARC_VALIDATE_STEPS_H_
#define TOLLBROOK_ARC_VALIDATE_STEPS_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "arc/key_record.h"
#include "arc/validate_chain.h"
#include "crypto/signing_input.h"

namespace tollbrook {

// The reasons of one signature kind (the newest AMS, or an ARC-Seal).
struct SignatureReasons {
  std::string_view noAlgorithm;
  std::string_view unsupportedAlgorithm;
  std::string_view dnsTransient;
  std::string_view noKey;
  std::string_view failed;    // the plain verification failure
  std::string_view internal;  // resource exhaustion
  KeyLabels labels;
};

extern const SignatureReasons kAmsReasons;
extern const SignatureReasons kSealReasons;

// One run of validateChain: its options, key source and instance count.
struct ValidationRun {
  const ValidationOptions& options;
  const TxtLookup& lookup;
  uint8_t newest = 0;
};

// The signature's a= must be exactly "rsa-sha256".
std::optional<ChainResult> checkAlgorithm(std::string_view algorithm,
                                          const SignatureReasons& reasons, uint8_t instance);

// The key records at s= and d=, which must hold a usable key.
[[nodiscard]] std::expected<std::vector<DnsRecord>, ChainResult> fetchKeyRecords(
    const ValidationRun& run, std::string_view selector, std::string_view domain,
    const SignatureReasons& reasons, uint8_t instance);

// A failure while building an input: internal for OutOfMemory, else the plain failure.
ChainResult inputFailure(Error error, const SignatureReasons& reasons, uint8_t instance);

// Decodes the b= text and verifies it over `signingInput` with the records.
std::optional<ChainResult> verifySignature(const ValidationRun& run,
                                           std::span<const DnsRecord> records,
                                           std::string_view signingInput,
                                           std::string_view signatureText,
                                           const SignatureReasons& reasons, uint8_t instance);

// Step 3: the newest set's ARC-Message-Signature.
std::optional<ChainResult> verifyNewestAms(const ValidationRun& run, const ArcSet& newest,
                                           std::span<const HeaderField> headers,
                                           std::string_view body);

// Step 4, one set: the ARC-Seal of `set`, whose earlier sets went through
// `inputs` in order before it.
std::optional<ChainResult> verifySeal(const ValidationRun& run, const ArcSet& set,
                                      SealInputChain& inputs);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_VALIDATE_STEPS_H_
