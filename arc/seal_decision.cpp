#include "arc/seal_decision.h"

#include "base/clock.h"
#include "core/log.h"

namespace tollbrook {
namespace {

bool carriesFailedSeal(std::span<const ArcSet> sets) {
  for (const ArcSet& set : sets) {
    if (set.sealCv == Cv::Fail) return true;
  }
  return false;
}

}  // namespace

std::expected<uint8_t, ContinuationRefusal> nextSealInstance(std::span<const ArcSet> sets) {
  if (carriesFailedSeal(sets)) return std::unexpected(ContinuationRefusal::FailedChain);
  if (sets.empty()) return 1;
  const uint8_t newest = sets.back().instance;
  if (newest >= kMaxArcInstance) return std::unexpected(ContinuationRefusal::InstanceCeiling);
  return static_cast<uint8_t>(newest + 1);
}

std::expected<Cv, FailureClass> sealableCv(const ChainResult& result) {
  if (result.failureClass != FailureClass::None) return std::unexpected(result.failureClass);
  return result.cv;
}

DnsErrorAction applyDnsErrorPolicy(OnDnsErrorPolicy policy, const ChainResult& result) {
  const std::string_view reason =
      result.reason.empty() ? std::string_view("transient DNS failure") : result.reason;
  switch (policy) {
    case OnDnsErrorPolicy::SkipSeal:
      logMessage(Severity::Warning, "not sealing: ", reason, " (On-DNSError=skip-seal)");
      return DnsErrorAction::SkipSeal;
    case OnDnsErrorPolicy::SealFail:
      logMessage(Severity::Warning, "sealing cv=fail after a transient DNS failure (", reason,
                 ") because On-DNSError=seal-fail");
      return DnsErrorAction::SealFail;
    case OnDnsErrorPolicy::Tempfail:
      break;
  }
  logMessage(Severity::Warning, "deferring: ", reason,
             "; sealing cv=fail would be permanent (On-DNSError=tempfail)");
  return DnsErrorAction::Tempfail;
}

uint64_t sealTimestampNow() {
  const int64_t milliseconds = realtimeMilliseconds();
  return milliseconds < 0 ? 0 : static_cast<uint64_t>(milliseconds / 1000);
}

}  // namespace tollbrook
