// Chain validation: the verdict on a message's ARC chain. Applies the
// structural rules, verifies the newest ARC-Message-Signature and then every
// ARC-Seal from the oldest, under a time budget, and returns one
// ChainResult (a value; see chain_result.h). Runs on the calling thread with
// that thread's own Resolver and key cache; takes no lock, keeps no state
// between calls, and only reads its inputs.
#ifndef TOLLBROOK_ARC_VALIDATE_CHAIN_H_
#define TOLLBROOK_ARC_VALIDATE_CHAIN_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "arc/public_key_cache.h"
#include "base/clock.h"
#include "base/error.h"
#include "core/message.h"
#include "dns/dns_record.h"
#include "dns/resolver.h"

namespace tollbrook {

inline constexpr int64_t kDefaultMaxEvaluationMs = 20000;

struct ValidationOptions {
  Resolver& resolver;        // the calling thread's own resolver
  PublicKeyCache& keyCache;  // the same thread's decoded keys; dropped with the resolver
  int64_t maxEvaluationMs = kDefaultMaxEvaluationMs;  // 0: no budget
  uint32_t minimumKeyBits = 1024;
  uint8_t maxKeyRecords = 3;
  // Measures the budget; empty means the monotonic clock, so that a step of
  // the date during a validation cannot spend or stretch it.
  Clock clock = {};
};

// Validates a chain of at least one set from collectArcSets, in instance
// order. Every problem is a result: cv fail for a broken chain, cv unknown
// with its failure class for DNS trouble, resource exhaustion or a spent
// budget. An empty set list gives cv none.
ChainResult validateChain(const ValidationOptions& options, std::span<const ArcSet> sets,
                          std::span<const HeaderField> headers, std::string_view body);

// How key records are fetched: the TXT lookup of one name, with the
// resolver's error kinds.
using TxtLookup = std::function<Result<std::vector<DnsRecord>>(std::string_view name)>;

// validateChain with key records fetched through `lookup` instead of
// options.resolver (which is then not used), for callers that answer key
// queries from elsewhere, such as tests.
ChainResult validateChainWithLookup(const ValidationOptions& options, const TxtLookup& lookup,
                                    std::span<const ArcSet> sets,
                                    std::span<const HeaderField> headers, std::string_view body);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_VALIDATE_CHAIN_H_
