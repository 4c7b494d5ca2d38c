// The newest ARC-Message-Signature: the only AMS a chain's verdict depends on.
#include <string>

#include "arc/validate_steps.h"
#include "base/ascii.h"
#include "core/base64.h"
#include "crypto/arc_header_names.h"
#include "crypto/canonicalization.h"

namespace tollbrook {
namespace {

// An AMS must not sign ARC-Seal fields: a later hop's seal would break it.
bool signedHeadersCoverSeal(std::string_view signedHeaders) {
  SignedHeaderNames names(signedHeaders, isAnySpace);
  while (std::optional<std::string_view> name = names.next()) {
    if (headerNameEquals(*name, kSealFieldName)) return true;
  }
  return false;
}

// The signing input over the selected headers and the AMS itself with b= empty.
[[nodiscard]] Result<std::string> amsInput(const ArcSet& set, std::span<const HeaderField> headers,
                                           CanonicalizationMode headerMode) {
  Result<std::string> text =
      headerFieldText(HeaderField{kAmsFieldName, set.amsValue, set.amsLeadingSpace});
  if (!text) return fail(text.error());
  Result<std::string> stripped = stripSignatureValue(*text);
  if (!stripped) return fail(stripped.error());
  return amsSigningInput(headers, set.amsH, headerMode, *stripped);
}

// The bh= value must be the SHA-256 of the body canonicalized with the body mode.
std::optional<ChainResult> checkBodyHash(const ArcSet& set, std::string_view body,
                                         CanonicalizationMode bodyMode) {
  Result<Sha256Digest> digest = canonicalBodyHash(bodyMode, body);
  if (!digest) return inputFailure(digest.error(), kAmsReasons, set.instance);
  Result<std::string> claimed = base64Decode(set.amsBh);
  if (!claimed) return inputFailure(claimed.error(), kAmsReasons, set.instance);
  if (claimed->size() != digest->size() ||
      !std::equal(digest->begin(), digest->end(), claimed->begin(),
                  [](unsigned char d, char c) { return d == static_cast<unsigned char>(c); })) {
    return chainFailure(kAmsReasons.failed, set.instance);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ChainResult> verifyNewestAms(const ValidationRun& run, const ArcSet& newest,
                                           std::span<const HeaderField> headers,
                                           std::string_view body) {
  const uint8_t instance = newest.instance;
  if (auto bad = checkAlgorithm(newest.amsA, kAmsReasons, instance)) return bad;
  if (signedHeadersCoverSeal(newest.amsH)) return chainFailure("AMS h= covers ARC-Seal", instance);
  auto records = fetchKeyRecords(run, newest.amsS, newest.amsD, kAmsReasons, instance);
  if (!records) return records.error();
  Result<Canonicalization> modes = parseCanonicalization(newest.amsC);
  if (!modes) return chainFailure("AMS c= names an unknown canonicalization", instance);
  Result<std::string> input = amsInput(newest, headers, modes->header);
  if (!input) return inputFailure(input.error(), kAmsReasons, instance);
  if (auto bad = checkBodyHash(newest, body, modes->body)) return bad;
  return verifySignature(run, *records, *input, newest.amsB, kAmsReasons, instance);
}

}  // namespace tollbrook
