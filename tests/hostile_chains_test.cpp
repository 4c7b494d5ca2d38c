// Hostile ARC chains (tests/hostile/*.eml, and ones made here from dkimpy's
// chains: reordered fields, a 64 KiB signature, 50 and 51 sets) judged by the
// built tollbrook-check and by a worker with the real message handling. Every
// one gets its expected verdict, and the worker that judged it still answers
// a plain message at once afterwards: no hostile chain may crash or stall it.
// Keys come from a dnsmasq serving dkimpy's key records.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "crypto/private_key.h"
#include "tests/arc_test_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/handling_daemon.h"

namespace tollbrook::testing {
namespace {

constexpr size_t kVerify = 0, kBoth = 2;

const std::string kPlain =
    "From: Alice <alice@example.org>\r\n"
    "To: Bob <bob@example.com>\r\n"
    "Subject: plain\r\n"
    "\r\n"
    "Hello Bob,\r\n";

std::string hostileFile(const std::string& name) {
  return readFile(std::string(TOLLBROOK_SOURCE_DIR) + "/tests/hostile/" + name + ".eml");
}

// The header fields of a message, each with its folds, and the rest (the
// blank line and the body).
struct SplitMessage {
  std::vector<std::string> fields;
  std::string rest;
};

SplitMessage split(const std::string& message) {
  SplitMessage out;
  size_t at = 0;
  while (at < message.size() && message.compare(at, 2, "\r\n") != 0) {
    size_t end = message.find("\r\n", at);
    while (end != std::string::npos && end + 2 < message.size() &&
           (message[end + 2] == ' ' || message[end + 2] == '\t')) {
      end = message.find("\r\n", end + 2);
    }
    if (end == std::string::npos) end = message.size() - 2;
    out.fields.push_back(message.substr(at, end + 2 - at));
    at = end + 2;
  }
  out.rest = message.substr(at);
  return out;
}

bool isArcField(const std::string& field) {
  return field.rfind("ARC-", 0) == 0;
}

// The instance a field's i= tag names (0 when unreadable): enough for
// dkimpy's fields, which put it first.
int instanceOf(const std::string& field) {
  const size_t at = field.find("i=");
  return at == std::string::npos ? 0 : std::atoi(field.c_str() + at + 2);
}

// dkimpy's chain with the fields of each set in reverse order (ARC-Seal
// last) and every ARC field moved below the other fields.
std::string mixedOrder(const std::string& message) {
  SplitMessage parts = split(message);
  std::vector<std::string> arc, other;
  for (const std::string& field : parts.fields) (isArcField(field) ? arc : other).push_back(field);
  std::stable_sort(arc.begin(), arc.end(), [](const std::string& a, const std::string& b) {
    return instanceOf(a) > instanceOf(b);
  });
  std::string out;
  for (const std::string& field : other) out += field;
  for (size_t i = 0; i < arc.size(); i += 3) {
    for (size_t k = std::min(i + 3, arc.size()); k > i; --k) out += arc[k - 1];
  }
  return out + parts.rest;
}

// dkimpy's chain with its sets oldest first: instances, not positions, order
// a chain.
std::string setsOldestFirst(const std::string& message) {
  SplitMessage parts = split(message);
  std::vector<std::string> arc, other;
  for (const std::string& field : parts.fields) (isArcField(field) ? arc : other).push_back(field);
  std::stable_sort(arc.begin(), arc.end(), [](const std::string& a, const std::string& b) {
    return instanceOf(a) < instanceOf(b);
  });
  std::string out;
  for (const std::string& field : arc) out += field;
  for (const std::string& field : other) out += field;
  return out + parts.rest;
}

// dkimpy's chain with every ARC field folded at every space of its value:
// folding whitespace everywhere, which relaxed canonicalization (the only one
// ARC-Seals use) reads as the original, so the chain still holds.
std::string foldedEverywhere(const std::string& message) {
  SplitMessage parts = split(message);
  std::string out;
  for (const std::string& field : parts.fields) {
    if (!isArcField(field)) {
      out += field;
      continue;
    }
    const size_t value = field.find(':') + 2;
    out += field.substr(0, value);
    for (size_t i = value; i < field.size(); ++i) {
      const char before = field[i - 1];
      const bool foldable = field[i] == ' ' && before != '\n' && before != ' ' && before != '\t';
      out += foldable ? std::string("\r\n\t") : std::string(1, field[i]);
    }
  }
  return out + parts.rest;
}

// dkimpy's one-set chain whose ARC-Seal signature is replaced by 64 KiB of
// Base64, folded at 76 columns.
std::string hugeSealSignature(const std::string& message) {
  std::string huge;
  for (size_t i = 0; i < 64 * 1024; ++i) {
    if (i % 76 == 0) huge += "\r\n\t";
    huge += "ABCD"[i % 4];
  }
  SplitMessage parts = split(message);
  std::string out;
  for (std::string field : parts.fields) {
    if (field.rfind("ARC-Seal:", 0) == 0) {
      const size_t b = field.find(" b=");
      field = field.substr(0, b + 3) + huge + "\r\n";
    }
    out += field;
  }
  return out + parts.rest;
}

// `sets` made-up ARC sets (150 fields for 50) naming a key that exists, above
// a plain message: structurally sound, cryptographically worthless.
std::string madeUpSets(int sets) {
  std::string out;
  for (int i = sets; i >= 1; --i) {
    const std::string n = std::to_string(i);
    out += "ARC-Seal: i=" + n + "; cv=" + (i == 1 ? "none" : "pass") +
           "; a=rsa-sha256; d=hop1.example; s=s1; t=1767225600;\r\n\tb=AAAABBBB\r\n";
    out += "ARC-Message-Signature: i=" + n +
           "; a=rsa-sha256; c=relaxed/relaxed; d=hop1.example; s=s1;\r\n"
           "\th=from:to:subject; bh=AAAA; b=AAAABBBB\r\n";
    out += "ARC-Authentication-Results: i=" + n + "; mx" + n + ".example; spf=pass\r\n";
  }
  return out + kPlain;
}

struct HostileCase {
  std::string name;
  std::string message;
  std::string result;  // the arc= result
  std::string reason;  // "" for none
  char bothReply;      // on a listener that validates and seals
  // Whether dkimpy must agree on a pass. It does not for sets oldest first:
  // it takes the sets a seal covers by their position among the fields.
  bool dkimpyAgrees = true;
};

class HostileChains : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::expected<std::string, std::string> made = arcFixtures();
    if (!made) {
      skipReason_ = new std::string(made.error());
      return;
    }
    fixtures_ = new std::string(*made);
    dns_ = new DnsmasqServer(dnsmasqRecords(readRecords(*fixtures_ + "/records.txt")));
  }
  static void TearDownTestSuite() {
    delete dns_;
    delete fixtures_;
    delete skipReason_;
  }
  void SetUp() override {
    if (skipReason_ != nullptr) GTEST_SKIP() << *skipReason_;
    if (!dns_->running()) GTEST_SKIP() << "dnsmasq did not start: " << dns_->failure();
  }

  static std::string fixture(const std::string& name) {
    return readFile(*fixtures_ + "/" + name + ".eml");
  }

  static std::vector<HostileCase> cases() {
    const std::string newestAms = "AMS verification failed for newest set";
    // Structurally broken chains are never sealed, nor is one at instance 50;
    // chains that fail their signatures are sealed with cv=fail.
    return {
        {"incomplete_set", hostileFile("incomplete_set"), "fail",
         "broken ARC chain: incomplete instance", 'c'},
        {"duplicate_instance", hostileFile("duplicate_instance"), "fail",
         "broken ARC chain: duplicate header in instance", 'c'},
        {"instance_zero", hostileFile("instance_zero"), "fail",
         "broken ARC chain: malformed i= tag", 'c'},
        {"instance_51", hostileFile("instance_51"), "fail", "broken ARC chain: too many instances",
         'c'},
        {"nested_comment_instance", hostileFile("nested_comment_instance"), "fail", newestAms, 'a'},
        {"provider_shape", hostileFile("provider_shape"), "fail", newestAms, 'a'},
        {"mixed_order", mixedOrder(fixture("relaxed_3")), "pass", "", 'a'},
        {"sets_oldest_first", setsOldestFirst(fixture("relaxed_3")), "pass", "", 'a', false},
        {"folded_everywhere", foldedEverywhere(fixture("relaxed_3")), "pass", "", 'a'},
        {"huge_seal_signature", hugeSealSignature(fixture("relaxed_1")), "fail",
         "ARC-Seal verification failed", 'a'},
        {"fifty_sets", madeUpSets(50), "fail", newestAms, 'c'},
        {"fifty_one_sets", madeUpSets(51), "fail", "broken ARC chain: too many instances", 'c'},
    };
  }

  static std::string* fixtures_;
  static std::string* skipReason_;
  static DnsmasqServer* dns_;
};

std::string* HostileChains::fixtures_ = nullptr;
std::string* HostileChains::skipReason_ = nullptr;
DnsmasqServer* HostileChains::dns_ = nullptr;

// The verdict field's value, folds shown as one space.
std::string verdictOf(const EndOfMessage& reply) {
  for (const MilterReply& modification : reply.modifications) {
    std::optional<HeaderChange> change = decodeHeaderChange(modification);
    if (!change || change->code != 'i' || change->name != "Authentication-Results") continue;
    std::string value;
    for (char c : change->value) {
      if (c != '\t') value += (c == '\n') ? ' ' : c;
    }
    return value;
  }
  return "(none)";
}

TEST_F(HostileChains, TheCheckToolGivesEachItsVerdict) {
  ScratchDir dir;
  for (const HostileCase& c : cases()) {
    const std::string path = dir.write(c.name + ".eml", c.message);
    ProgramRun run = runProgram(
        {checkToolPath(), "-n", "127.0.0.1", "-p", std::to_string(dns_->port()), "-v", path});
    const std::string got = run.out.substr(0, run.out.find(' '));
    const size_t reasonAt = run.out.find("reason=");
    std::string reason =
        reasonAt == std::string::npos ? "(no reason)" : run.out.substr(reasonAt + 7);
    if (!reason.empty() && reason.back() == '\n') reason.pop_back();
    EXPECT_EQ(got, c.result) << "input " << c.name << ": got " << run.out << run.err << ", want "
                             << c.result;
    EXPECT_EQ(reason, c.reason.empty() ? "-" : c.reason)
        << "input " << c.name << ": got " << run.out << ", want reason " << c.reason;
    if (c.result == "pass" && c.dkimpyAgrees) {
      // The chains expected to hold are judged by dkimpy too.
      ProgramRun oracle = runProgramWithInput(dir,
                                              {TOLLBROOK_PYTHON3, testScriptPath("arc_oracle.py"),
                                               "verify", *fixtures_ + "/records.txt"},
                                              c.message);
      EXPECT_EQ(oracle.out.substr(0, oracle.out.find('\t')), "pass")
          << "input " << c.name << ": dkimpy says " << oracle.out << oracle.err;
    }
  }
}

TEST_F(HostileChains, TheDaemonAnswersEachAndKeepsServing) {
  ScratchDir dir;
  const std::string pem = dir.write("seal.pem", readFile(*fixtures_ + "/main.pem"));
  ASSERT_EQ(chmod(pem.c_str(), 0600), 0);
  std::unique_ptr<SealIdentity> identity =
      makeSealIdentity("seal.example", "sel", loadPrivateKey(pem).value()).value();
  TestSettings settings;
  settings.config = testRuntimeConfig(dns_->port());
  settings.identity = identity.get();
  HandlingStartup startup;
  startup.listenerModes.assign(std::begin(kTestModes), std::end(kTestModes));
  {
    HandlingDaemon daemon(settings, startup);
    for (const HostileCase& c : cases()) {
      Delivery hostile = daemon.send(kVerify, c.message);
      std::string want = " mx.test; arc=" + c.result;
      if (!c.reason.empty()) want += " (" + c.reason + ")";
      EXPECT_EQ(hostile.reply.code, 'c') << "input " << c.name;
      EXPECT_EQ(verdictOf(hostile.reply), want)
          << "input " << c.name << ": got " << verdictOf(hostile.reply) << ", want " << want;
      Delivery sealing = daemon.send(kBoth, c.message);
      EXPECT_EQ(sealing.reply.code, c.bothReply)
          << "input " << c.name << ": got " << sealing.reply.code << ", want " << c.bothReply;
      EXPECT_EQ(verdictOf(sealing.reply), want) << "input " << c.name << " (both)";

      // The same worker answers the next plain message promptly.
      const int64_t start = monotonicMilliseconds();
      Delivery plain = daemon.send(kVerify, kPlain);
      const int64_t elapsed = monotonicMilliseconds() - start;
      EXPECT_EQ(verdictOf(plain.reply), " mx.test; arc=none") << "after input " << c.name;
      EXPECT_LT(elapsed, 5000) << "after input " << c.name << " the next message took " << elapsed
                               << " ms";
    }
  }
  destroySealIdentity(identity.release());
}

}  // namespace
}  // namespace tollbrook::testing
