// What a sealer does when the existing chain could not be judged because of a
// transient DNS failure or a spent evaluation budget (On-DNSError). The cv a
// sealer writes is a permanent statement, so the default defers the message
// rather than seal a guess. A plain value; any thread.
#ifndef TOLLBROOK_ARC_DNS_ERROR_POLICY_H_
#define TOLLBROOK_ARC_DNS_ERROR_POLICY_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tollbrook {

enum class OnDnsErrorPolicy : uint8_t {
  Tempfail,  // "tempfail": ask the MTA to retry later
  SkipSeal,  // "skip-seal": deliver unsealed with an arc=temperror verdict
  SealFail,  // "seal-fail": seal with cv=fail
};

// The configuration word of a policy: "tempfail", "skip-seal", "seal-fail".
constexpr std::string_view onDnsErrorWord(OnDnsErrorPolicy policy) {
  switch (policy) {
    case OnDnsErrorPolicy::Tempfail:
      return "tempfail";
    case OnDnsErrorPolicy::SkipSeal:
      return "skip-seal";
    case OnDnsErrorPolicy::SealFail:
      return "seal-fail";
  }
  return "tempfail";
}

// The policy named by a configuration word, compared exactly (case-sensitive);
// nullopt for any other text.
constexpr std::optional<OnDnsErrorPolicy> parseOnDnsErrorWord(std::string_view word) {
  for (OnDnsErrorPolicy policy :
       {OnDnsErrorPolicy::Tempfail, OnDnsErrorPolicy::SkipSeal, OnDnsErrorPolicy::SealFail}) {
    if (word == onDnsErrorWord(policy)) return policy;
  }
  return std::nullopt;
}

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_DNS_ERROR_POLICY_H_
