// Failure of the sealing builders: the fixed name of the step that failed (which
// the daemon logs as "not sealing: internal error {step}" and the seal tool
// prints) and the error kind underneath it. Step names are static texts.
#ifndef TOLLBROOK_ARC_SEAL_STEP_H_
#define TOLLBROOK_ARC_SEAL_STEP_H_

#include <expected>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

// Every builder failure counts as BuildFailed; `cause` keeps the kind met inside
// the step (OutOfMemory, BuildFailed for an over-long tag, a signing error...).
struct SealStepError {
  std::string_view step;  // one of the texts below
  Error cause = Error::BuildFailed;
};

template <typename T>
using SealResult = std::expected<T, SealStepError>;

inline std::unexpected<SealStepError> failStep(std::string_view step, Error cause) {
  return std::unexpected<SealStepError>(SealStepError{step, cause});
}

// Step names, in the order the steps run.
namespace seal_step {
inline constexpr std::string_view kAarContent = "building the ARC-Authentication-Results content";
inline constexpr std::string_view kAarHeader = "formatting the ARC-Authentication-Results header";
inline constexpr std::string_view kBodyUnavailable = "the accumulated body is unavailable";
inline constexpr std::string_view kBodyCanonicalize = "canonicalizing the body";
inline constexpr std::string_view kBodyFinish = "finishing body canonicalization";
inline constexpr std::string_view kBodyHashEncode = "encoding the body hash";
inline constexpr std::string_view kAmsTemplate = "formatting the AMS template";
inline constexpr std::string_view kSignedHeaders = "canonicalizing the signed headers";
inline constexpr std::string_view kAmsHeaderText = "formatting the AMS signing input";
inline constexpr std::string_view kAmsHeaderCanonicalize = "canonicalizing the AMS header";
inline constexpr std::string_view kAmsInputAssemble = "assembling the AMS signing input";
inline constexpr std::string_view kAmsSign = "signing the AMS";
inline constexpr std::string_view kAmsSignatureEncode = "encoding the AMS signature";
inline constexpr std::string_view kAmsSignatureFold = "folding the AMS signature";
inline constexpr std::string_view kAmsHeader = "formatting the AMS header";
inline constexpr std::string_view kSealTemplate = "formatting the ARC-Seal template";
inline constexpr std::string_view kSealInput = "assembling the ARC-Seal signing input";
inline constexpr std::string_view kSealSign = "signing the ARC-Seal";
inline constexpr std::string_view kSealSignatureEncode = "encoding the ARC-Seal signature";
inline constexpr std::string_view kSealSignatureFold = "folding the ARC-Seal signature";
inline constexpr std::string_view kSealHeader = "formatting the ARC-Seal header";
// Used by callers when a failure carries no step of its own.
inline constexpr std::string_view kFallback = "building the ARC set";
}  // namespace seal_step

// The step a failure names in messages: its own, or kFallback when it recorded
// none. Static storage.
constexpr std::string_view failedStepName(const SealStepError& error) {
  return error.step.empty() ? seal_step::kFallback : error.step;
}

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_SEAL_STEP_H_
