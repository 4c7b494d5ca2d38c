// The daemon's message handling end to end: a worker with the real handling
// serves the test MTA over loopback, keys come from a dnsmasq the test starts
// (dkimpy's chains and keys, and our own seal key), the replies are applied
// to the message as an MTA applies them, and what is delivered is judged by
// dkimpy and by the built tollbrook-check.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arc/chain_result.h"
#include "crypto/private_key.h"
#include "tests/arc_test_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/dns_test_server.h"
#include "tests/event_collector.h"
#include "tests/handling_daemon.h"

namespace tollbrook::testing {
namespace {

constexpr size_t kVerify = 0, kSeal = 1, kBoth = 2;

const std::string kPlain =
    "Received: from mail.example.org (mail.example.org [192.0.2.1])\r\n"
    "\tby mx.example.com; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "From: Alice Example <alice@example.org>\r\n"
    "To: Bob <bob@example.com>\r\n"
    "Subject: A folded\r\n"
    "\tsubject   line \r\n"
    "Date: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "Message-ID: <handling@example.org>\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    "  an indented line with trailing spaces   \r\n"
    "Regards\r\n";

class HandlingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::string(TOLLBROOK_PYTHON3).empty()) return;
    dir_ = new ScratchDir;
    ProgramRun made = runOracle({"fixtures", dir_->path()});
    ASSERT_EQ(made.status, 0) << made.err;
    records_ = new std::map<std::string, std::string>(readRecords(dir_->file("records.txt")));
    const std::string pem = dir_->file("seal.pem");
    ProgramRun key = runOracle({"keygen", "2048", pem});
    ASSERT_EQ(key.status, 0) << key.err;
    chmod(pem.c_str(), 0600);
    (*records_)["sel._domainkey.seal.example"] =
        "v=DKIM1; k=rsa; p=" + key.out.substr(0, key.out.find('\n'));
    std::string lines;
    for (const auto& [name, text] : *records_) lines += name + "\t" + text + "\n";
    dir_->write("all-records.txt", lines);
    dns_ = new DnsmasqServer(dnsmasqRecords(*records_));
    identity_ =
        makeSealIdentity("seal.example", "sel", loadPrivateKey(pem).value()).value().release();
  }
  static void TearDownTestSuite() {
    destroySealIdentity(identity_);
    delete dns_;
    delete records_;
    delete dir_;
  }
  void SetUp() override {
    if (dir_ == nullptr) GTEST_SKIP() << "python3 with dkimpy is missing";
    if (!dns_->running()) GTEST_SKIP() << "dnsmasq did not start";
    settings_.config = testRuntimeConfig(dns_->port());
    settings_.identity = identity_;
  }

  static std::string fixture(const std::string& name) {
    return readFile(dir_->file(name + ".eml"));
  }

  static HandlingStartup startup() {
    HandlingStartup startup;
    startup.listenerModes.assign(std::begin(kTestModes), std::end(kTestModes));
    return startup;
  }

  // dkimpy's cv for the message, with every key of the suite.
  static std::string dkimpyVerdict(const std::string& message) {
    ProgramRun run = runProgramWithInput(
        *dir_,
        {"/usr/bin/python3", std::string(TOLLBROOK_SOURCE_DIR) + "/tests/arc_oracle.py", "verify",
         dir_->file("all-records.txt")},
        message);
    return run.out.substr(0, run.out.find('\t'));
  }

  // tollbrook-check -v on the message, asking the suite's dnsmasq.
  static std::string checkVerdict(const std::string& message) {
    const std::string path = dir_->write("delivered.eml", message);
    ProgramRun run = runProgram(
        {checkToolPath(), "-n", "127.0.0.1", "-p", std::to_string(dns_->port()), "-v", path});
    return run.out;
  }

  static ScratchDir* dir_;
  static std::map<std::string, std::string>* records_;
  static DnsmasqServer* dns_;
  static SealIdentity* identity_;
  TestSettings settings_;
};

ScratchDir* HandlingTest::dir_ = nullptr;
std::map<std::string, std::string>* HandlingTest::records_ = nullptr;
DnsmasqServer* HandlingTest::dns_ = nullptr;
SealIdentity* HandlingTest::identity_ = nullptr;

std::vector<std::string> insertedNames(const EndOfMessage& reply) {
  std::vector<std::string> names;
  for (const MilterReply& modification : reply.modifications) {
    std::optional<HeaderChange> change = decodeHeaderChange(modification);
    if (change) names.push_back(std::string(1, change->code) + " " + change->name);
  }
  return names;
}

// The value of the verdict field inserted, folds shown as one space.
std::string verdictOf(const EndOfMessage& reply) {
  for (const MilterReply& modification : reply.modifications) {
    std::optional<HeaderChange> change = decodeHeaderChange(modification);
    if (!change || change->code != 'i' || change->name != "Authentication-Results") continue;
    std::string value;
    for (char c : change->value) value += (c == '\n') ? ' ' : (c == '\t' ? '\0' : c);
    std::erase(value, '\0');
    return value;
  }
  return "(none)";
}

const std::vector<std::string> kSet = {"i ARC-Authentication-Results", "i ARC-Message-Signature",
                                       "i ARC-Seal"};

TEST_F(HandlingTest, SealedMessagesVerifyWithDkimpyAndTheCheckTool) {
  const struct {
    std::string what;
    std::string message;
    size_t listener;
    std::string signedHeaders;
    std::string wantCheck;
  } cases[] = {
      {"seal, no chain", kPlain, kSeal, "", "pass i=1 reason=-\n"},
      {"both, no chain", kPlain, kBoth, "", "pass i=1 reason=-\n"},
      {"seal, dkimpy's chain of 2", fixture("relaxed_2"), kSeal, "", "pass i=3 reason=-\n"},
      {"both, dkimpy's chain of 2", fixture("relaxed_2"), kBoth, "", "pass i=3 reason=-\n"},
      // The verdict field is signed: it must be signed where the MTA puts it,
      // above the upstream Authentication-Results.
      {"both, Authentication-Results signed", fixture("relaxed_2"), kBoth,
       "from:to:subject:date:message-id:authentication-results", "pass i=3 reason=-\n"},
      {"both, simple/simple chain", fixture("simple_1"), kBoth, "", "pass i=2 reason=-\n"},
  };
  for (const auto& c : cases) {
    if (!c.signedHeaders.empty()) settings_.config->signedHeaders = c.signedHeaders;
    HandlingDaemon daemon(settings_, startup());
    Delivery first = daemon.send(c.listener, c.message);
    EXPECT_EQ(first.reply.code, 'a') << c.what;
    std::vector<std::string> want = kSet;
    if (c.listener == kBoth) want.insert(want.begin(), "i Authentication-Results");
    EXPECT_EQ(insertedNames(first.reply), want) << c.what;
    EXPECT_EQ(dkimpyVerdict(first.delivered), "pass") << c.what << "\n" << first.delivered;
    EXPECT_EQ(checkVerdict(first.delivered), c.wantCheck) << c.what << "\n" << first.delivered;
    // A second hop continues the chain with cv=pass.
    Delivery second = daemon.send(kBoth, first.delivered);
    EXPECT_EQ(second.reply.code, 'a') << c.what;
    EXPECT_EQ(verdictOf(second.reply), " mx.test; arc=pass") << c.what;
    EXPECT_NE(second.delivered.find("cv=pass"), std::string::npos) << c.what;
    EXPECT_EQ(dkimpyVerdict(second.delivered), "pass") << c.what << "\n" << second.delivered;
    const int instance = c.wantCheck[7] - '0' + 1;
    EXPECT_EQ(checkVerdict(second.delivered), "pass i=" + std::to_string(instance) + " reason=-\n")
        << c.what;
    settings_.config->signedHeaders = "from:to:subject:date:message-id";
  }
}

TEST_F(HandlingTest, VerifyRecordsTheVerdictOfDkimpysChains) {
  const struct {
    std::string message;
    std::string wantVerdict;
  } cases[] = {
      {kPlain, " mx.test; arc=none"},
      {fixture("relaxed_3"), " mx.test; arc=pass"},
      {fixture("seal_changed_3"), " mx.test; arc=fail (ARC-Seal verification failed)"},
      {fixture("body_changed_3"), " mx.test; arc=fail (AMS verification failed for newest set)"},
      {fixture("set_removed_3"), " mx.test; arc=fail (broken ARC chain: missing instance)"},
  };
  HandlingDaemon daemon(settings_, startup());
  for (const auto& c : cases) {
    Delivery delivery = daemon.send(kVerify, c.message);
    EXPECT_EQ(delivery.reply.code, 'c') << c.wantVerdict;
    EXPECT_EQ(verdictOf(delivery.reply), c.wantVerdict)
        << "got " << verdictOf(delivery.reply) << ", want " << c.wantVerdict;
    EXPECT_EQ(delivery.reply.modifications.size(), 1u) << c.wantVerdict;
  }
  EXPECT_TRUE(
      daemon.log().waitFor("info id=4Xb9Zq1vKJz3 peer=mx-in[127.0.0.1] client=192.0.2.25 "
                           "listener=0 mode=verify elapsed=",
                           "ms"))
      << daemon.log().pending();
}

// A chain whose keys cannot be fetched now (the nameserver answers SERVFAIL)
// is never sealed as failed unless the policy says so.
TEST_F(HandlingTest, DnsTroubleFollowsThePolicy) {
  auto server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(answerRcode(2));
  const struct {
    size_t listener;
    OnDnsErrorPolicy policy;
    char wantCode;
    std::vector<std::string> wantChanges;
  } cases[] = {
      {kVerify, OnDnsErrorPolicy::Tempfail, 'c', {"i Authentication-Results"}},
      {kSeal, OnDnsErrorPolicy::Tempfail, 't', {}},
      {kSeal, OnDnsErrorPolicy::SkipSeal, 'c', {"i Authentication-Results"}},
      {kSeal, OnDnsErrorPolicy::SealFail, 'a', kSet},
      {kBoth, OnDnsErrorPolicy::Tempfail, 't', {"i Authentication-Results"}},
      {kBoth, OnDnsErrorPolicy::SkipSeal, 'c', {"i Authentication-Results"}},
      {kBoth,
       OnDnsErrorPolicy::SealFail,
       'a',
       {"i Authentication-Results", kSet[0], kSet[1], kSet[2]}},
  };
  for (const auto& c : cases) {
    settings_.config = testRuntimeConfig(server->port());
    settings_.config->onDnsError = c.policy;
    HandlingDaemon daemon(settings_, startup());
    Delivery delivery = daemon.send(c.listener, fixture("relaxed_1"));
    const std::string what = "listener " + std::to_string(c.listener) + " policy " +
                             std::string(onDnsErrorWord(c.policy));
    EXPECT_EQ(delivery.reply.code, c.wantCode) << what;
    EXPECT_EQ(insertedNames(delivery.reply), c.wantChanges) << what;
    if (!c.wantChanges.empty() && c.wantChanges[0] == "i Authentication-Results") {
      EXPECT_EQ(verdictOf(delivery.reply),
                " mx.test; arc=temperror (DNS lookup for the AMS key failed transiently)")
          << what;
    }
    // Whatever the answer, the message leaves its result line.
    const std::string line =
        "info id=4Xb9Zq1vKJz3 peer=mx-in[127.0.0.1] client=192.0.2.25 listener=" +
        std::to_string(c.listener) +
        " mode=" + std::string(listenerModeWord(kTestModes[c.listener])) + " elapsed=";
    EXPECT_TRUE(daemon.log().waitFor(line, "ms")) << what << daemon.log().pending();
    if (c.wantCode == 'a') {
      EXPECT_NE(delivery.delivered.find("cv=fail"), std::string::npos) << what;
      // The new seal says cv=fail and signs only its own set.
      EXPECT_EQ(checkVerdict(delivery.delivered).substr(0, 5), "fail ") << what;
    }
  }
}

// The evaluation budget, with a clock that jumps a minute at every reading:
// the same policy paths as DNS trouble, after the deadline's own line.
TEST_F(HandlingTest, AnExhaustedBudgetFollowsThePolicy) {
  settings_.config->maxEvaluationMs = 1000;
  settings_.config->onDnsError = OnDnsErrorPolicy::SealFail;
  HandlingStartup jumping = startup();
  auto now = std::make_shared<std::atomic<int64_t>>(0);
  jumping.clock = [now] { return now->fetch_add(60'000); };
  HandlingDaemon daemon(settings_, std::move(jumping));
  Delivery delivery = daemon.send(kBoth, fixture("relaxed_2"));
  EXPECT_EQ(delivery.reply.code, 'a');
  EXPECT_EQ(verdictOf(delivery.reply).substr(0, 31), " mx.test; arc=temperror (evalua");
  EXPECT_TRUE(daemon.log().waitFor("warning ARC chain evaluation deadline exceeded at i="))
      << daemon.log().pending();
  EXPECT_TRUE(daemon.log().waitFor("warning sealing cv=fail after a transient DNS failure ("))
      << daemon.log().pending();
}

TEST_F(HandlingTest, IncompleteCopiesAreNeitherJudgedNorSealed) {
  HandlingDaemon daemon(settings_, startup(), MessageLimits{10, 3, 0});
  Delivery body = daemon.send(kVerify, fixture("relaxed_1"));
  // relaxed_1 has more than 3 fields: the header limit comes first.
  EXPECT_EQ(body.reply.code, 't');
  EXPECT_TRUE(body.reply.modifications.empty());
  EXPECT_TRUE(daemon.log().waitFor("warning tempfail: header block from mx-in[127.0.0.1]"))
      << daemon.log().pending();
  EXPECT_TRUE(
      daemon.log().waitFor("info id=4Xb9Zq1vKJz3 peer=mx-in[127.0.0.1] client=192.0.2.25 "
                           "listener=0 mode=verify elapsed=0ms"))
      << daemon.log().pending();

  HandlingDaemon small(settings_, startup(), MessageLimits{10, 0, 0});
  Delivery verify = small.send(kVerify, kPlain);
  EXPECT_EQ(verify.reply.code, 'c');
  EXPECT_EQ(verdictOf(verify.reply), " mx.test; arc=temperror (message too large to validate)");
  Delivery seal = small.send(kSeal, kPlain);
  EXPECT_EQ(seal.reply.code, 'c');
  EXPECT_TRUE(seal.reply.modifications.empty());
  EXPECT_TRUE(small.log().waitFor(
      "warning not sealing message from mx-in[127.0.0.1]: accumulated copy is incomplete"))
      << small.log().pending();
}

TEST_F(HandlingTest, ForgedResultsAreDeletedByOrdinal) {
  const std::string forged =
      "Authentication-Results: mx.test; spf=pass smtp.mailfrom=example.org\r\n"
      "Authentication-Results: other.example; arc=pass\r\n"
      "Authentication-Results: MX.TEST; arc=pass\r\n" +
      kPlain;
  const struct {
    bool strip;
    uint32_t actions;
    std::vector<std::string> wantChanges;
    std::string wantLine;
  } cases[] = {
      {false,
       0x1FF,
       {"m Authentication-Results", "i Authentication-Results", kSet[0], kSet[1], kSet[2]},
       "info removed 1 forged Authentication-Results header(s) claiming authserv-id mx.test"},
      {true,
       0x1FF,
       {"m Authentication-Results", "m Authentication-Results", "i Authentication-Results", kSet[0],
        kSet[1], kSet[2]},
       "info removed 2 forged Authentication-Results header(s) claiming authserv-id mx.test"},
      {true,
       kSmfifAddHdrs,
       {"i Authentication-Results", kSet[0], kSet[1], kSet[2]},
       "err cannot remove 2 forged Authentication-Results header(s) claiming authserv-id "
       "mx.test: MTA did not grant SMFIF_CHGHDRS"},
      {true,
       kSmfifChgHdrs,
       {"m Authentication-Results", "m Authentication-Results"},
       "err cannot record the arc result or add an ARC set: MTA did not grant SMFIF_ADDHDRS"},
  };
  for (const auto& c : cases) {
    settings_.config->stripAuthResults = c.strip;
    HandlingDaemon daemon(settings_, startup());
    Delivery delivery = daemon.send(kBoth, forged, c.actions);
    const std::string what =
        "strip " + std::to_string(c.strip) + " actions " + std::to_string(c.actions);
    EXPECT_EQ(delivery.reply.code, c.actions == kSmfifChgHdrs ? 'c' : 'a') << what;
    EXPECT_EQ(insertedNames(delivery.reply), c.wantChanges) << what;
    EXPECT_TRUE(daemon.log().waitFor(c.wantLine)) << what << daemon.log().pending();
    if ((c.actions & kSmfifChgHdrs) != 0) {
      // Deleted from the bottom up: ordinal 3 first, then 1.
      std::optional<HeaderChange> first = decodeHeaderChange(delivery.reply.modifications[0]);
      EXPECT_EQ(first->index, 3u) << what;
      if (c.strip) {
        EXPECT_EQ(decodeHeaderChange(delivery.reply.modifications[1])->index, 1u) << what;
      }
      EXPECT_EQ(delivery.delivered.find("MX.TEST; arc=pass"), std::string::npos) << what;
      EXPECT_NE(delivery.delivered.find("other.example; arc=pass"), std::string::npos) << what;
    }
  }
}

TEST_F(HandlingTest, AnUnknownListenerIsTreatedAsVerify) {
  HandlingDaemon daemon(settings_, startup(), kDefaultMessageLimits, 1);
  Delivery delivery = daemon.send(3, kPlain);
  EXPECT_EQ(delivery.reply.code, 'c');
  EXPECT_EQ(verdictOf(delivery.reply), " mx.test; arc=none");
  EXPECT_TRUE(daemon.log().waitFor(
      "err listener index 3 has no configured mode (3 known): falling back to verify"));
  EXPECT_TRUE(
      daemon.log().waitFor("info id=4Xb9Zq1vKJz3 peer=mx-in[127.0.0.1] client=192.0.2.25 "
                           "listener=3 mode=verify elapsed="))
      << daemon.log().pending();
}

TEST_F(HandlingTest, AReloadDropsTheCachesAndTheNextMessageUsesTheNewSettings) {
  HandlingDaemon daemon(settings_, startup());
  EXPECT_EQ(verdictOf(daemon.send(kVerify, fixture("relaxed_2")).reply), " mx.test; arc=pass");
  // The new snapshot names another authserv-id; nothing of the old one stays.
  // (The worker is between messages, so swapping the test's settings is safe.)
  std::unique_ptr<RuntimeConfig> next = testRuntimeConfig(dns_->port());
  next->authservId = "mx2.test";
  std::swap(settings_.config, next);
  daemon.reload();
  EXPECT_TRUE(daemon.log().waitFor("debug worker: config reload acknowledged"))
      << daemon.log().pending();
  EXPECT_EQ(verdictOf(daemon.send(kVerify, fixture("relaxed_2")).reply), " mx2.test; arc=pass");
}

// --- events ---

using Collector = EventCollector;

TEST_F(HandlingTest, EventsReachTheCollectorByteForByteAndInOrder) {
  Collector collector;
  HandlingStartup withEvents = startup();
  withEvents.zmqEndpoint = collector.endpoint();
  HandlingDaemon daemon(settings_, std::move(withEvents));
  // A subscription takes a moment to reach the publisher; until then events
  // are dropped. Plain messages on the verify listener announce "none".
  const std::string none = R"(arc {"action":"verify","result":"none","instance":0})";
  bool subscribed = false;
  for (int attempt = 0; attempt < 100 && !subscribed; ++attempt) {
    daemon.send(kVerify, kPlain);
    subscribed = collector.receive(100) == none;
  }
  ASSERT_TRUE(subscribed);
  while (collector.receive(100)) {
  }
  daemon.send(kBoth, fixture("relaxed_2"));
  EXPECT_EQ(collector.receive(5000), R"(arc {"action":"verify","result":"pass","instance":2})");
  EXPECT_EQ(collector.receive(5000), R"(arc {"action":"seal","result":"pass","instance":3})");
  EXPECT_EQ(collector.receive(200), std::nullopt);
}

// Publishing never holds a reply back: not when nobody listens at the
// endpoint, and not when the collector stops reading and the publisher's
// queue fills (past 1,000 events, more than a socket's buffers hold).
TEST_F(HandlingTest, ACollectorThatIsDownOrStuckNeverDelaysAReply) {
  const uint16_t unused = pickFreeLoopbackPort();
  Collector stuck;  // bound, subscribed, never read
  for (const std::string& endpoint :
       {"tcp://127.0.0.1:" + std::to_string(unused), stuck.endpoint()}) {
    HandlingStartup withEvents = startup();
    withEvents.zmqEndpoint = endpoint;
    HandlingDaemon daemon(settings_, std::move(withEvents));
    Result<MilterClient> client = MilterClient::connectTcp(daemon.port(kVerify));
    ASSERT_TRUE(client.has_value());
    client->setTimeoutMs(2000);
    // Without it every small command of this long conversation waits on
    // delayed acknowledgements, as an MTA's milter client does not.
    const int one = 1;
    setsockopt(client->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ASSERT_TRUE(client->negotiate().has_value());
    ASSERT_EQ(client->openSession(MtaSession{}).value_or('?'), 'c');
    MtaMessage message;
    message.text = kPlain;
    for (int i = 0; i < 1200; ++i) {
      Result<EndOfMessage> ended = client->sendMessage(message);
      ASSERT_TRUE(ended.has_value()) << endpoint << ": message " << i;
      ASSERT_EQ(ended->code, 'c') << endpoint << ": message " << i;
    }
  }
}

}  // namespace
}  // namespace tollbrook::testing
