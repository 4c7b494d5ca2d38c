// The handling procedures in every mode, with the validation outcome and the
// event publisher stood in for: for each case the reply, the header changes
// queued (in order), the events and the log lines, exactly. Whether the sets
// sealed here verify is for the tests that run dkimpy (tests/handling_*).
#include "daemon/handling/decisions.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "daemon/handling/job_steps.h"
#include "daemon/milter/replies.h"
#include "tests/dns_log_capture.h"
#include "tests/handling_unit_support.h"

namespace tollbrook::testing {
namespace {

constexpr char kBase[] = "From: Alice <alice@example.org>\r\nSubject: hello\r\n";

// Sets 1..n as collectArcSets accepts them; the seal of `failedAt` says cv=fail.
std::string arcChain(int n, int failedAt = 0) {
  std::string block;
  for (int i = n; i >= 1; --i) {
    const std::string instance = std::to_string(i);
    const char* cv = i == failedAt ? "fail" : (i == 1 ? "none" : "pass");
    block += "ARC-Seal: i=" + instance + "; a=rsa-sha256; cv=" + cv +
             "; d=hop.example; s=s; t=1; b=AAAA\r\n";
    block += "ARC-Message-Signature: i=" + instance +
             "; a=rsa-sha256; c=relaxed/relaxed; d=hop.example; s=s; h=from; bh=AAAA; b=AAAA\r\n";
    block += "ARC-Authentication-Results: i=" + instance + "; hop.example; spf=pass\r\n";
  }
  return block;
}

// Set 2 lacks its ARC-Message-Signature.
const std::string kBrokenChain =
    "ARC-Seal: i=2; a=rsa-sha256; cv=pass; d=hop.example; s=s; t=1; b=AAAA\r\n"
    "ARC-Authentication-Results: i=2; hop.example; spf=pass\r\n" +
    arcChain(1);

const ChainResult kPass{"", Cv::Pass, 1, FailureClass::None};
const ChainResult kFail = chainFailure("ARC-Seal verification failed", 1);
const ChainResult kDns = chainTemporaryFailure("DNS lookup for the AMS key failed transiently", 1,
                                               FailureClass::DnsTransient);
const ChainResult kDeadline = chainTemporaryFailure(
    "evaluation deadline exceeded before the AMS check", 1, FailureClass::Deadline);
const ChainResult kInternal =
    chainTemporaryFailure("internal error validating the AMS", 1, FailureClass::Internal);

// What the stand-ins saw.
struct Recorder {
  explicit Recorder(ChainResult result) : outcome(result) {}
  ChainResult outcome;
  int validations = 0;
  std::vector<std::string> events;
};

ChainValidator fakeValidator(Recorder& recorder) {
  return {&recorder, [](void* context, std::span<const ArcSet>, std::span<const HeaderField>,
                        std::string_view) {
            auto& r = *static_cast<Recorder*>(context);
            ++r.validations;
            return r.outcome;
          }};
}

EventSink recordingSink(Recorder& recorder) {
  return {&recorder, [](void* context, EventAction action, EventResult result, uint8_t instance) {
            static_cast<Recorder*>(context)->events.push_back(
                std::string(eventActionWord(action)) + " " + std::string(eventResultWord(result)) +
                " " + std::to_string(instance));
          }};
}

class DecisionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    identity_ = makeSealIdentity("seal.example", "sel", PrivateKey(EvpPkeyPtr(EVP_RSA_gen(1024))))
                    .value()
                    .release();
  }
  static void TearDownTestSuite() { destroySealIdentity(identity_); }

  static SealIdentity* identity_;
};

SealIdentity* DecisionsTest::identity_ = nullptr;

enum class Mode { Verify, Seal, Both };

struct Case {
  std::string what;
  Mode mode;
  std::string chain;  // ARC fields above kBase
  ChainResult outcome = kPass;
  OnDnsErrorPolicy policy = OnDnsErrorPolicy::Tempfail;
  bool identity = true;
  bool incomplete = false;
  char wantReply;
  std::vector<std::string> wantReplies;
  std::vector<std::string> wantEvents;
  std::vector<std::string> wantLog;
};

const std::string kSetInserted[] = {"i 0 ARC-Authentication-Results", "i 0 ARC-Message-Signature",
                                    "i 0 ARC-Seal"};

std::vector<std::string> with(std::vector<std::string> first, bool set = true) {
  if (set) first.insert(first.end(), std::begin(kSetInserted), std::end(kSetInserted));
  return first;
}

const char kArcNone[] = "i 0 Authentication-Results: mx.test; arc=none";
const char kArcPass[] = "i 0 Authentication-Results: mx.test; arc=pass";
const char kArcFail[] =
    "i 0 Authentication-Results: mx.test; arc=fail (ARC-Seal verification failed)";
const char kArcDns[] =
    "i 0 Authentication-Results: mx.test; arc=temperror (DNS lookup for the AMS key failed "
    "transiently)";
const char kArcDeadline[] =
    "i 0 Authentication-Results: mx.test; arc=temperror (evaluation deadline exceeded before "
    "the AMS check)";
const char kArcTooLarge[] =
    "i 0 Authentication-Results: mx.test; arc=temperror (message too large to validate)";
const char kArcBroken[] =
    "i 0 Authentication-Results: mx.test; arc=fail (broken ARC chain: incomplete instance)";

const char kDeferDns[] =
    "warning deferring: DNS lookup for the AMS key failed transiently; sealing cv=fail would be "
    "permanent (On-DNSError=tempfail)";
const char kSkipDns[] =
    "warning not sealing: DNS lookup for the AMS key failed transiently (On-DNSError=skip-seal)";
const char kSealFailDns[] =
    "warning sealing cv=fail after a transient DNS failure (DNS lookup for the AMS key failed "
    "transiently) because On-DNSError=seal-fail";
const char kAlreadyFailed[] =
    "info not sealing: the chain is already marked cv=fail and cannot be continued";

std::vector<Case> cases() {
  const std::string one = arcChain(1);
  return {
      // The verify procedure.
      {"verify, no chain",
       Mode::Verify,
       "",
       kPass,
       {},
       true,
       false,
       'c',
       {kArcNone},
       {"verify none 0"},
       {}},
      {"verify, pass",
       Mode::Verify,
       one,
       kPass,
       {},
       true,
       false,
       'c',
       {kArcPass},
       {"verify pass 1"},
       {}},
      {"verify, fail",
       Mode::Verify,
       one,
       kFail,
       {},
       true,
       false,
       'c',
       {kArcFail},
       {"verify fail 1"},
       {}},
      {"verify, broken",
       Mode::Verify,
       kBrokenChain,
       kPass,
       {},
       true,
       false,
       'c',
       {kArcBroken},
       {"verify fail 0"},
       {}},
      {"verify, DNS",
       Mode::Verify,
       one,
       kDns,
       {},
       true,
       false,
       'c',
       {kArcDns},
       {"verify temperror 1"},
       {}},
      {"verify, deadline",
       Mode::Verify,
       one,
       kDeadline,
       {},
       true,
       false,
       'c',
       {kArcDeadline},
       {"verify temperror 1"},
       {"warning ARC chain evaluation deadline exceeded at i=1"}},
      {"verify, internal",
       Mode::Verify,
       one,
       kInternal,
       {},
       true,
       false,
       't',
       {},
       {},
       {"err internal error validating ARC chain: internal error validating the AMS"}},
      {"verify, incomplete",
       Mode::Verify,
       one,
       kPass,
       {},
       true,
       true,
       'c',
       {kArcTooLarge},
       {"verify temperror 0"},
       {}},
      // Mode seal.
      {"seal, no identity", Mode::Seal, one, kPass, {}, false, false, 'c', {}, {}, {}},
      {"seal, incomplete",
       Mode::Seal,
       one,
       kPass,
       {},
       true,
       true,
       'c',
       {},
       {},
       {"warning not sealing message from mx-in[192.0.2.25]: accumulated copy is incomplete"}},
      {"seal, no chain",
       Mode::Seal,
       "",
       kPass,
       {},
       true,
       false,
       'a',
       with({}),
       {"seal none 1"},
       {}},
      {"seal, pass", Mode::Seal, one, kPass, {}, true, false, 'a', with({}), {"seal pass 2"}, {}},
      {"seal, fail", Mode::Seal, one, kFail, {}, true, false, 'a', with({}), {"seal fail 2"}, {}},
      {"seal, broken",
       Mode::Seal,
       kBrokenChain,
       kPass,
       {},
       true,
       false,
       'c',
       {},
       {},
       {"warning not sealing: broken ARC chain: incomplete instance"}},
      {"seal, a seal says cv=fail",
       Mode::Seal,
       arcChain(2, 1),
       kFail,
       {},
       true,
       false,
       'c',
       {},
       {},
       {kAlreadyFailed}},
      {"seal, instance 50",
       Mode::Seal,
       arcChain(50),
       ChainResult{"", Cv::Pass, 50, {}},
       {},
       true,
       false,
       'c',
       {},
       {},
       {}},
      {"seal, DNS, tempfail",
       Mode::Seal,
       one,
       kDns,
       OnDnsErrorPolicy::Tempfail,
       true,
       false,
       't',
       {},
       {},
       {kDeferDns}},
      {"seal, DNS, skip-seal",
       Mode::Seal,
       one,
       kDns,
       OnDnsErrorPolicy::SkipSeal,
       true,
       false,
       'c',
       {kArcDns},
       {"seal temperror 1"},
       {kSkipDns}},
      {"seal, DNS, seal-fail",
       Mode::Seal,
       one,
       kDns,
       OnDnsErrorPolicy::SealFail,
       true,
       false,
       'a',
       with({}),
       {"seal fail 2"},
       {kSealFailDns}},
      {"seal, deadline, tempfail",
       Mode::Seal,
       one,
       kDeadline,
       OnDnsErrorPolicy::Tempfail,
       true,
       false,
       't',
       {},
       {},
       {"warning not sealing: evaluation deadline exceeded at i=1",
        "warning deferring: evaluation deadline exceeded before the AMS check; sealing cv=fail "
        "would be permanent (On-DNSError=tempfail)"}},
      {"seal, internal",
       Mode::Seal,
       one,
       kInternal,
       {},
       true,
       false,
       't',
       {},
       {},
       {"err not sealing: internal error validating the chain: internal error validating the "
        "AMS"}},
      // Mode both.
      {"both, no identity",
       Mode::Both,
       one,
       kPass,
       {},
       false,
       false,
       'c',
       {kArcPass},
       {"verify pass 1"},
       {}},
      {"both, incomplete",
       Mode::Both,
       one,
       kPass,
       {},
       true,
       true,
       'c',
       {kArcTooLarge},
       {"verify temperror 0"},
       {}},
      {"both, no chain",
       Mode::Both,
       "",
       kPass,
       {},
       true,
       false,
       'a',
       with({kArcNone}),
       {"verify none 0", "seal none 1"},
       {}},
      {"both, pass",
       Mode::Both,
       one,
       kPass,
       {},
       true,
       false,
       'a',
       with({kArcPass}),
       {"verify pass 1", "seal pass 2"},
       {}},
      {"both, fail",
       Mode::Both,
       one,
       kFail,
       {},
       true,
       false,
       'a',
       with({kArcFail}),
       {"verify fail 1", "seal fail 2"},
       {}},
      {"both, broken",
       Mode::Both,
       kBrokenChain,
       kPass,
       {},
       true,
       false,
       'c',
       {kArcBroken},
       {"verify fail 0"},
       {}},
      {"both, a seal says cv=fail",
       Mode::Both,
       arcChain(2, 1),
       kFail,
       {},
       true,
       false,
       'c',
       {"i 0 Authentication-Results: mx.test; arc=fail (ARC-Seal verification failed)"},
       {"verify fail 1"},
       {kAlreadyFailed}},
      {"both, DNS, tempfail",
       Mode::Both,
       one,
       kDns,
       OnDnsErrorPolicy::Tempfail,
       true,
       false,
       't',
       {kArcDns},
       {"verify temperror 1"},
       {kDeferDns}},
      {"both, DNS, skip-seal",
       Mode::Both,
       one,
       kDns,
       OnDnsErrorPolicy::SkipSeal,
       true,
       false,
       'c',
       {kArcDns},
       {"verify temperror 1"},
       {kSkipDns}},
      {"both, DNS, seal-fail",
       Mode::Both,
       one,
       kDns,
       OnDnsErrorPolicy::SealFail,
       true,
       false,
       'a',
       with({kArcDns}),
       {"verify temperror 1", "seal fail 2"},
       {kSealFailDns}},
      {"both, deadline, seal-fail",
       Mode::Both,
       one,
       kDeadline,
       OnDnsErrorPolicy::SealFail,
       true,
       false,
       'a',
       with({kArcDeadline}),
       {"verify temperror 1", "seal fail 2"},
       {"warning ARC chain evaluation deadline exceeded at i=1",
        "warning sealing cv=fail after a transient DNS failure (evaluation deadline exceeded "
        "before the AMS check) because On-DNSError=seal-fail"}},
      {"both, internal",
       Mode::Both,
       one,
       kInternal,
       {},
       true,
       false,
       't',
       {},
       {},
       {"err internal error validating ARC chain: internal error validating the AMS"}},
  };
}

char decide(Mode mode, MessageJob& job) {
  switch (mode) {
    case Mode::Seal:
      return decideSeal(job);
    case Mode::Both:
      return decideBoth(job);
    case Mode::Verify:
      break;
  }
  return verifyMessage(job);
}

TEST_F(DecisionsTest, EveryModeAnswersQueuesAnnouncesAndLogsInOrder) {
  for (const Case& c : cases()) {
    std::unique_ptr<RuntimeConfig> config = defaultRuntimeConfig("mx.test");
    config->onDnsError = c.policy;
    std::unique_ptr<MilterConnection> connection = connectionWith(c.chain + kBase);
    connection->message.bodyIncomplete = c.incomplete;
    Recorder recorder(c.outcome);
    MessageJob job{*connection, *config, c.identity ? identity_ : nullptr, fakeValidator(recorder),
                   recordingSink(recorder)};
    LogCapture log;
    const char reply = decide(c.mode, job);
    EXPECT_EQ(reply, c.wantReply) << "input " << c.what << ": got " << reply << ", want "
                                  << c.wantReply;
    EXPECT_EQ(takeReplies(*connection), c.wantReplies)
        << "input " << c.what << ": got" << joinLines(takeReplies(*connection));
    EXPECT_EQ(recorder.events, c.wantEvents)
        << "input " << c.what << ": got" << joinLines(recorder.events);
    const std::vector<std::string> lines = log.take();
    EXPECT_EQ(lines, c.wantLog) << "input " << c.what << ": got" << joinLines(lines);
  }
}

// Without SMFIF_ADDHDRS the verify procedure still works out the answer
// (tempfail for an internal error) but queues and announces nothing.
TEST_F(DecisionsTest, WithoutTheRightToAddFieldsNothingIsRecorded) {
  const struct {
    ChainResult outcome;
    char want;
  } outcomes[] = {{kPass, 'c'}, {kDns, 'c'}, {kInternal, 't'}};
  for (const auto& o : outcomes) {
    std::unique_ptr<RuntimeConfig> config = defaultRuntimeConfig("mx.test");
    std::unique_ptr<MilterConnection> connection = connectionWith(arcChain(1) + kBase);
    Recorder recorder(o.outcome);
    MessageJob job{*connection, *config, identity_, fakeValidator(recorder),
                   recordingSink(recorder)};
    job.canRecord = false;
    EXPECT_EQ(verifyMessage(job), o.want) << "outcome " << o.outcome.reason;
    EXPECT_TRUE(takeReplies(*connection).empty()) << "outcome " << o.outcome.reason;
    EXPECT_TRUE(recorder.events.empty()) << "outcome " << o.outcome.reason;
    EXPECT_EQ(sealMessage(job, {}, Cv::None), 'c');
  }
}

// In mode both the verdict field is placed where the MTA puts it, on top, so
// the set sealed next signs the header block the next hop receives.
TEST_F(DecisionsTest, BothKeepsTheVerdictOnTopOfTheHeaderList) {
  std::unique_ptr<RuntimeConfig> config = defaultRuntimeConfig("mx.test");
  std::unique_ptr<MilterConnection> connection = connectionWith(
      "Authentication-Results: upstream.example; spf=pass\r\n" + arcChain(1) + kBase);
  Recorder recorder(kPass);
  MessageJob job{*connection, *config, identity_, fakeValidator(recorder), recordingSink(recorder)};
  ASSERT_EQ(decideBoth(job), 'a');
  const HeaderField& top = connection->message.headers.front();
  EXPECT_EQ(top.name, "Authentication-Results");
  EXPECT_EQ(top.value, "mx.test;\r\n\tarc=pass");
  EXPECT_TRUE(top.leadingSpace);
  EXPECT_EQ(connection->message.headers[1].value, "upstream.example; spf=pass");
}

TEST_F(DecisionsTest, AFullReplyQueueDefersTheMessage) {
  std::unique_ptr<RuntimeConfig> config = defaultRuntimeConfig("mx.test");
  std::unique_ptr<MilterConnection> connection = connectionWith(kBase);
  // Unwritten replies up to 20 bytes short of the bound: no verdict fits.
  const std::string filler(kMaxUnwrittenReplies - 5 - 20, 'x');
  const ReplyPacket packets[] = {{'x', filler}};
  ASSERT_TRUE(queueReplies(*connection, packets));
  Recorder recorder(kPass);
  MessageJob job{*connection, *config, identity_, fakeValidator(recorder), recordingSink(recorder)};
  LogCapture log;
  EXPECT_EQ(verifyMessage(job), 't');
  EXPECT_EQ(log.take(), std::vector<std::string>{
                            "err deferring: could not record the arc result (OutputQueueFull); "
                            "delivering without it would misrepresent what was checked"});
  EXPECT_TRUE(recorder.events.empty());
}

}  // namespace
}  // namespace tollbrook::testing
