#include "arc/validate_steps.h"

#include <string>

#include "core/base64.h"

namespace tollbrook {

const SignatureReasons kAmsReasons{
    "AMS has no a= algorithm tag",
    "AMS a= names an unsupported algorithm",
    "DNS lookup for the AMS key failed transiently",
    "AMS key record has no p= value",
    "AMS verification failed for newest set",
    "internal error validating the AMS",
    kAmsKeyLabels,
};

const SignatureReasons kSealReasons{
    "ARC-Seal has no a= algorithm tag",
    "ARC-Seal a= names an unsupported algorithm",
    "DNS lookup for the ARC-Seal key failed transiently",
    "ARC-Seal key record has no p= value",
    "ARC-Seal verification failed",
    "internal error validating an ARC-Seal",
    kSealKeyLabels,
};

std::optional<ChainResult> checkAlgorithm(std::string_view algorithm,
                                          const SignatureReasons& reasons, uint8_t instance) {
  if (algorithm.empty()) return chainFailure(reasons.noAlgorithm, instance);
  if (algorithm != "rsa-sha256") return chainFailure(reasons.unsupportedAlgorithm, instance);
  return std::nullopt;
}

ChainResult inputFailure(Error error, const SignatureReasons& reasons, uint8_t instance) {
  if (error == Error::OutOfMemory) {
    return chainTemporaryFailure(reasons.internal, instance, FailureClass::Internal);
  }
  return chainFailure(reasons.failed, instance);
}

namespace {

ChainResult lookupFailure(Error error, const SignatureReasons& reasons, uint8_t instance) {
  switch (classifyDnsError(error)) {
    case VerifyOutcome::Internal:
      return chainTemporaryFailure(reasons.internal, instance, FailureClass::Internal);
    case VerifyOutcome::Transient:
      return chainTemporaryFailure(reasons.dnsTransient, instance, FailureClass::DnsTransient);
    case VerifyOutcome::Ok:
    case VerifyOutcome::Permanent:
      break;
  }
  return chainFailure(reasons.failed, instance);
}

}  // namespace

std::expected<std::vector<DnsRecord>, ChainResult> fetchKeyRecords(const ValidationRun& run,
                                                                   std::string_view selector,
                                                                   std::string_view domain,
                                                                   const SignatureReasons& reasons,
                                                                   uint8_t instance) {
  // A name built from an empty or dot-led part would be sent, after the
  // encoder drops one leading dot, to some other valid name; such a signature
  // cannot name its key.
  if (!keyRecordNameIsSound(selector, domain)) {
    return std::unexpected(chainFailure(reasons.failed, instance));
  }
  Result<std::string> name = keyRecordName(selector, domain);
  if (!name) return std::unexpected(inputFailure(name.error(), reasons, instance));
  Result<std::vector<DnsRecord>> records = run.lookup(*name);
  if (!records) return std::unexpected(lookupFailure(records.error(), reasons, instance));
  if (!hasUsableKey(*records)) return std::unexpected(chainFailure(reasons.noKey, instance));
  return std::move(*records);
}

std::optional<ChainResult> verifySignature(const ValidationRun& run,
                                           std::span<const DnsRecord> records,
                                           std::string_view signingInput,
                                           std::string_view signatureText,
                                           const SignatureReasons& reasons, uint8_t instance) {
  Result<std::string> signature = base64Decode(signatureText);
  if (!signature) return inputFailure(signature.error(), reasons, instance);
  KeyVerification input{records,
                        signingInput,
                        *signature,
                        run.options.minimumKeyBits,
                        run.options.maxKeyRecords,
                        reasons.labels};
  VerifyResult result = verifyWithKeyRecords(input, run.options.keyCache);
  switch (result.outcome) {
    case VerifyOutcome::Ok:
      return std::nullopt;
    case VerifyOutcome::Internal:
      return chainTemporaryFailure(reasons.internal, instance, FailureClass::Internal);
    case VerifyOutcome::Permanent:
    case VerifyOutcome::Transient:
      break;
  }
  return chainFailure(result.reason.empty() ? reasons.failed : result.reason, instance);
}

}  // namespace tollbrook
