// The parts of the sealing decision that the daemon's end-of-message handling
// and the seal tool share, so both decide alike: whether an existing chain may
// take another set and at which instance, which cv a validation lets a sealer
// write, what the On-DNSError policy does with a chain that could not be
// judged, and the time a new set is signed at. Each caller orders and words
// its own reactions: the tool exits with a message where the daemon answers
// the MTA. Values only, apart from the policy's log line; any thread.
#ifndef TOLLBROOK_ARC_SEAL_DECISION_H_
#define TOLLBROOK_ARC_SEAL_DECISION_H_

#include <cstdint>
#include <expected>
#include <span>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "arc/dns_error_policy.h"

namespace tollbrook {

// Why an existing chain cannot take another set.
enum class ContinuationRefusal : uint8_t {
  FailedChain,      // an ARC-Seal already says cv=fail: nothing may follow it
  InstanceCeiling,  // the newest set is already instance kMaxArcInstance
};

// The instance of a set added on top of `sets` (in instance order): one more
// than the newest, or 1 when there are none. A cv=fail seal anywhere in the
// chain refuses it first, whatever the chain's length.
[[nodiscard]] std::expected<uint8_t, ContinuationRefusal> nextSealInstance(
    std::span<const ArcSet> sets);

// The cv a sealer writes after a validation: the verdict's cv. A result that
// is no verdict gives its failure class instead: the chain could not be
// judged now, and a cv=fail sealed for a temporary condition would outlive it.
[[nodiscard]] std::expected<Cv, FailureClass> sealableCv(const ChainResult& result);

// What the On-DNSError policy makes of a chain that could not be judged.
enum class DnsErrorAction : uint8_t {
  SealFail,  // seal with cv=fail
  Tempfail,  // ask the MTA to retry later
  SkipSeal,  // deliver unsealed; the caller records a temperror verdict with
             // the result's reason and instance
};

// For a result of class dnsTransient or deadline: logs the policy's warning
// line, naming the result's reason ("transient DNS failure" when it has
// none), and returns the action.
DnsErrorAction applyDnsErrorPolicy(OnDnsErrorPolicy policy, const ChainResult& result);

// The t= of a set sealed now: the realtime clock in whole seconds since the
// epoch (0 for a clock before it).
uint64_t sealTimestampNow();

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_SEAL_DECISION_H_
