// The verdict record of chain validation: the chain validation value, why the
// chain did not pass, which instance that concerns and whether the outcome is a
// verdict or a temporary condition. A small value type; its reason points to
// static text, so it needs no release and may be copied freely between threads.
#ifndef TOLLBROOK_ARC_CHAIN_RESULT_H_
#define TOLLBROOK_ARC_CHAIN_RESULT_H_

#include <cstdint>
#include <string_view>

namespace tollbrook {

// The chain validation value, as an ARC-Seal's cv= states it and as a
// validation concludes it.
enum class Cv : uint8_t { None, Pass, Fail, Unknown };

// "none", "pass", "fail" or "unknown". Static storage.
std::string_view cvName(Cv cv);

// Maps a cv= value, ASCII case-insensitively: "none", "pass", "fail"; every
// other text gives unknown.
Cv parseCv(std::string_view text);

// Whether a ChainResult is a verdict (none) or a temporary condition: a key not
// obtainable at this moment, resource exhaustion, or the evaluation budget spent.
enum class FailureClass : uint8_t { None, DnsTransient, Internal, Deadline };

// "none", "dnsTransient", "internal" or "deadline". Static storage.
std::string_view failureClassName(FailureClass failureClass);

struct ChainResult {
  std::string_view reason;  // fixed static text of the first failure; empty for a pass
  Cv cv = Cv::Unknown;      // pass or fail when failureClass is none; unknown otherwise
  uint8_t instance = 0;     // the instance concerned; for a pass the chain length
  FailureClass failureClass = FailureClass::None;

  bool passed() const { return cv == Cv::Pass && failureClass == FailureClass::None; }
  friend bool operator==(const ChainResult&, const ChainResult&) = default;
};

// A verdict that the chain is broken at `instance`.
inline ChainResult chainFailure(std::string_view reason, uint8_t instance) {
  return ChainResult{reason, Cv::Fail, instance, FailureClass::None};
}

// A temporary condition at `instance`: cv unknown with its failure class.
inline ChainResult chainTemporaryFailure(std::string_view reason, uint8_t instance,
                                         FailureClass failureClass) {
  return ChainResult{reason, Cv::Unknown, instance, failureClass};
}

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_CHAIN_RESULT_H_
