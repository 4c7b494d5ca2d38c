// One ARC-Seal: it signs every earlier set and its own AAR and AMS.
#include <string>
#include <string_view>

#include "arc/validate_steps.h"
#include "core/tag_list.h"
#include "crypto/arc_header_names.h"

namespace tollbrook {
namespace {

[[nodiscard]] Result<std::string_view> sealInput(const ArcSet& set, SealInputChain& inputs) {
  Result<std::string> text = arcHeaderText(kSealFieldName, set.sealValue);
  if (!text) return fail(text.error());
  Result<std::string> stripped = stripSignatureValue(*text);
  if (!stripped) return fail(stripped.error());
  return inputs.next({set.aarValue, set.amsValue, set.sealValue}, *stripped);
}

}  // namespace

std::optional<ChainResult> verifySeal(const ValidationRun& run, const ArcSet& set,
                                      SealInputChain& inputs) {
  const uint8_t instance = set.instance;
  if (auto bad = checkAlgorithm(set.sealA, kSealReasons, instance)) return bad;
  if (findTag(set.sealValue, "h")) {
    return chainFailure("ARC-Seal carries a forbidden h= tag (RFC 8617 4.1.3)", instance);
  }
  auto records = fetchKeyRecords(run, set.sealS, set.sealD, kSealReasons, instance);
  if (!records) return records.error();
  Result<std::string_view> input = sealInput(set, inputs);
  if (!input) return inputFailure(input.error(), kSealReasons, instance);
  return verifySignature(run, *records, *input, set.sealB, kSealReasons, instance);
}

}  // namespace tollbrook
