#include "arc/seal_decision.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/clock.h"
#include "tests/dns_log_capture.h"

namespace tollbrook {
namespace {

// Sets 1..length with the seals' cv: none, then pass, except fail at `failAt`.
std::vector<ArcSet> chainOf(uint8_t length, uint8_t failAt = 0) {
  std::vector<ArcSet> sets(length);
  for (uint8_t i = 1; i <= length; ++i) {
    sets[i - 1].instance = i;
    sets[i - 1].sealCv = i == failAt ? Cv::Fail : (i == 1 ? Cv::None : Cv::Pass);
  }
  return sets;
}

std::string describe(const std::expected<uint8_t, ContinuationRefusal>& next) {
  if (next) return "instance " + std::to_string(*next);
  return next.error() == ContinuationRefusal::FailedChain ? "FailedChain" : "InstanceCeiling";
}

TEST(SealDecision, NextInstanceOrWhyTheChainEnds) {
  struct Case {
    std::string what;
    std::vector<ArcSet> sets;
    std::string want;
  } cases[] = {
      {"no chain", {}, "instance 1"},
      {"two sets", chainOf(2), "instance 3"},
      {"newest is 49", chainOf(49), "instance 50"},
      {"newest is 50", chainOf(50), "InstanceCeiling"},
      {"an older seal says fail", chainOf(3, 2), "FailedChain"},
      {"the newest seal says fail", chainOf(3, 3), "FailedChain"},
      {"fail at the ceiling", chainOf(50, 1), "FailedChain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(nextSealInstance(c.sets)), c.want) << "input " << c.what;
  }
}

TEST(SealDecision, OnlyAVerdictGivesACvToSeal) {
  EXPECT_EQ(sealableCv(ChainResult{{}, Cv::Pass, 3, FailureClass::None}), Cv::Pass);
  EXPECT_EQ(sealableCv(chainFailure("ARC-Seal verification failed", 2)), Cv::Fail);
  for (FailureClass failureClass :
       {FailureClass::DnsTransient, FailureClass::Deadline, FailureClass::Internal}) {
    auto cv = sealableCv(chainTemporaryFailure("x", 1, failureClass));
    ASSERT_FALSE(cv.has_value()) << failureClassName(failureClass);
    EXPECT_EQ(cv.error(), failureClass);
  }
}

TEST(SealDecision, DnsErrorPolicyLogsItsLineAndDecides) {
  const ChainResult dns = chainTemporaryFailure("DNS lookup for the AMS key failed transiently", 2,
                                                FailureClass::DnsTransient);
  const ChainResult unnamed = chainTemporaryFailure("", 1, FailureClass::DnsTransient);
  struct Case {
    OnDnsErrorPolicy policy;
    ChainResult result;
    DnsErrorAction want;
    std::string wantLine;
  } cases[] = {
      {OnDnsErrorPolicy::Tempfail, dns, DnsErrorAction::Tempfail,
       "warning deferring: DNS lookup for the AMS key failed transiently; sealing cv=fail would "
       "be permanent (On-DNSError=tempfail)"},
      {OnDnsErrorPolicy::SkipSeal, dns, DnsErrorAction::SkipSeal,
       "warning not sealing: DNS lookup for the AMS key failed transiently "
       "(On-DNSError=skip-seal)"},
      {OnDnsErrorPolicy::SealFail, dns, DnsErrorAction::SealFail,
       "warning sealing cv=fail after a transient DNS failure (DNS lookup for the AMS key failed "
       "transiently) because On-DNSError=seal-fail"},
      {OnDnsErrorPolicy::Tempfail, unnamed, DnsErrorAction::Tempfail,
       "warning deferring: transient DNS failure; sealing cv=fail would be permanent "
       "(On-DNSError=tempfail)"},
      {OnDnsErrorPolicy::SkipSeal, unnamed, DnsErrorAction::SkipSeal,
       "warning not sealing: transient DNS failure (On-DNSError=skip-seal)"},
      {OnDnsErrorPolicy::SealFail,
       chainTemporaryFailure("evaluation deadline exceeded during ARC-Seal checks", 1,
                             FailureClass::Deadline),
       DnsErrorAction::SealFail,
       "warning sealing cv=fail after a transient DNS failure (evaluation deadline exceeded "
       "during ARC-Seal checks) because On-DNSError=seal-fail"},
  };
  testing::LogCapture log;
  for (const Case& c : cases) {
    const std::string what =
        std::string(onDnsErrorWord(c.policy)) + " / \"" + std::string(c.result.reason) + "\"";
    EXPECT_EQ(applyDnsErrorPolicy(c.policy, c.result), c.want) << "input " << what;
    EXPECT_EQ(log.takeJoined(), c.wantLine) << "input " << what;
  }
}

TEST(SealDecision, TimestampIsTheRealtimeClockInSeconds) {
  const int64_t before = realtimeMilliseconds() / 1000;
  const uint64_t now = sealTimestampNow();
  EXPECT_GE(static_cast<int64_t>(now), before);
  EXPECT_LE(static_cast<int64_t>(now), realtimeMilliseconds() / 1000);
}

}  // namespace
}  // namespace tollbrook
