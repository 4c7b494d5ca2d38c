// SIGHUP sent to the built daemon: new settings for the next message on
// connections that stay open, a broken file that keeps the old ones, the
// generation figures of the reload lines, a reloaded seal key that signs the
// next seal (checked by tollbrook-check and dkimpy against a DNS server
// serving both selectors), a key that cannot be loaded keeping the whole seal
// identity, reclamation that keeps up over many reloads, and resolvers judged
// by the health of the nameservers they actually ask.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"

namespace tollbrook::testing {
namespace {

std::string listenerSocket(uint16_t port) {
  return "Socket = inet:" + std::to_string(port) + "@127.0.0.1";
}

// The Authentication-Results value the daemon inserted, or a note saying why
// there is none.
std::string insertedResults(const Result<EndOfMessage>& answer) {
  if (!answer) return "(no answer: " + std::string(errorName(answer.error())) + ")";
  std::optional<HeaderChange> field = insertedField(*answer, "Authentication-Results");
  return field ? field->value : "(no Authentication-Results inserted)";
}

// One message over an open session; the inserted verdict field's value.
std::string verdictFor(MilterClient& client, std::string_view tag) {
  return insertedResults(client.sendMessage(sampleMessage(tag)));
}

class DaemonReload : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // Writes the configuration and starts the daemon on it; false when it does
  // not come up.
  bool start(const ConfigText& config, uint16_t port) {
    confPath_ = dir_.write("tollbrook.conf", config.text());
    daemon_.emplace(DaemonProcess::withConfig(dir_, confPath_));
    return daemon_->waitUntilListening(port);
  }

  // Rewrites the file, sends SIGHUP and waits for the line that ends a reload
  // (`done`), counted from the lines already there.
  bool reload(const std::string& text, const std::string& done) {
    const size_t before = daemon_->logLines(done).size();
    if (!writeFile(confPath_, text)) return false;
    daemon_->signal(SIGHUP);
    return daemon_->waitForLog(done, before + 1);
  }

  // Every client must be gone: an open connection holds the drain.
  void stop() {
    daemon_->signal(SIGTERM);
    EXPECT_EQ(daemon_->waitForExit(), 0) << daemon_->log();
    EXPECT_EQ(daemon_->log().find("drain timeout"), std::string::npos) << daemon_->log();
  }

  ScratchDir dir_;
  std::string confPath_;
  std::optional<DaemonProcess> daemon_;
};

TEST_F(DaemonReload, NewAuthservIdServesTheNextMessageWhileConnectionsStayOpen) {
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = baseConfig(dir_);
  config.global.push_back("AuthservID = mx-one.example");
  config.listeners.push_back({"mx", {listenerSocket(port), "Mode = verify"}});
  ASSERT_TRUE(start(config, port)) << daemon_->log();
  std::string failure;
  std::optional<MilterClient> client = openMilterSession(port, failure);
  ASSERT_TRUE(client) << failure;
  EXPECT_NE(verdictFor(*client, "1").find("mx-one.example"), std::string::npos);

  // The listener's address is a start-up setting: the reload succeeds and
  // the daemon goes on listening where it did.
  const uint16_t otherPort = pickFreeLoopbackPort();
  config.global.back() = "AuthservID = mx-two.example";
  config.listeners.back().second.front() = listenerSocket(otherPort);
  ASSERT_TRUE(reload(config.text(), "config generation advanced to 3")) << daemon_->log();
  EXPECT_NE(
      daemon_->log().find("configuration reloaded from " + confPath_ + " (1 awaiting reclamation)"),
      std::string::npos)
      << daemon_->log();

  const std::string second = verdictFor(*client, "2");
  EXPECT_NE(second.find("mx-two.example"), std::string::npos) << second;
  EXPECT_EQ(second.find("mx-one.example"), std::string::npos) << second;
  std::optional<MilterClient> fresh = openMilterSession(port, failure);
  EXPECT_TRUE(fresh) << "the start-up listener stopped serving: " << failure;
  EXPECT_FALSE(MilterClient::connectTcp(otherPort).has_value()) << "a reload moved the listener";
  client.reset();
  fresh.reset();
  stop();
}

// The counter: a seal key at start-up makes it 2; a reload with a key adds 3,
// a failed one 1 (and wakes nobody), so the next good reload reports 2+3+1+1+3.
TEST_F(DaemonReload, FailedReloadsKeepTheSettingsAndAdvanceTheGenerationByOne) {
  const uint16_t port = pickFreeLoopbackPort();
  const std::string key = dir_.file("seal.pem");
  ASSERT_FALSE(writeRsaKey(key, 1024).empty());
  ConfigText config = baseConfig(dir_);
  config.global.insert(config.global.end(),
                       {"AuthservID = mx-one.example", "SealDomain = example.org",
                        "SealSelector = one", "SealKeyFile = " + key});
  config.listeners.push_back({"mx", {listenerSocket(port), "Mode = verify"}});
  ASSERT_TRUE(start(config, port)) << daemon_->log();

  ASSERT_TRUE(reload(config.text(), "config generation advanced to 5")) << daemon_->log();
  EXPECT_TRUE(daemon_->waitForLog("seal key reloaded from " + key + " (1 awaiting reclamation)"));

  ConfigText broken = config;
  broken.global.back() = "SealKeyFiel = " + key;
  broken.global.at(broken.global.size() - 4) = "AuthservID = mx-broken.example";
  ASSERT_TRUE(reload(broken.text(), "reload: failed to parse config, keeping previous"));
  EXPECT_TRUE(daemon_->waitForLog("config: [global] unrecognized key \"SealKeyFiel\""));
  std::string failure;
  std::optional<MilterClient> client = openMilterSession(port, failure);
  ASSERT_TRUE(client) << failure;
  EXPECT_NE(verdictFor(*client, "1").find("mx-one.example"), std::string::npos);

  // A nameserver no resolver could use is refused by the reload, not left to
  // fail the first key lookup of every worker.
  ConfigText badNameserver = config;
  badNameserver.global.push_back("DnsNameserver = resolver.example");
  ASSERT_TRUE(reload(badNameserver.text(), "reload: failed to parse config, keeping previous"));
  EXPECT_TRUE(daemon_->waitForLog("DnsNameserver=resolver.example is not a valid nameserver"));
  EXPECT_NE(verdictFor(*client, "1b").find("mx-one.example"), std::string::npos);

  ASSERT_EQ(unlink(confPath_.c_str()), 0);
  daemon_->signal(SIGHUP);
  EXPECT_TRUE(daemon_->waitForLog("reload: failed to re-read config file, keeping previous"));

  config.global.at(config.global.size() - 4) = "AuthservID = mx-two.example";
  ASSERT_TRUE(reload(config.text(), "config generation advanced to 11")) << daemon_->log();
  EXPECT_NE(verdictFor(*client, "2").find("mx-two.example"), std::string::npos);
  EXPECT_EQ(daemon_->logLines("config generation advanced to").size(), 2u) << daemon_->log();
  client.reset();
  stop();
}

// Reload after reload, the snapshot and identity each one replaces are freed
// at the next, once every worker (woken by the reload) has acknowledged it:
// the counts stay at 1 instead of growing.
TEST_F(DaemonReload, RetiredSnapshotsAndKeysAreReclaimedAsReloadsGoOn) {
  const uint16_t port = pickFreeLoopbackPort();
  const std::string key = dir_.file("seal.pem");
  ASSERT_FALSE(writeRsaKey(key, 1024).empty());
  ConfigText config = baseConfig(dir_, "debug");
  config.global.insert(config.global.end(),
                       {"SealDomain = example.org", "SealSelector = one", "SealKeyFile = " + key});
  config.listeners.push_back({"mx", {listenerSocket(port), "Mode = both"}});
  ASSERT_TRUE(start(config, port)) << daemon_->log();

  constexpr int kReloads = 50;
  constexpr size_t kWorkers = 2;
  for (int i = 1; i <= kReloads; ++i) {
    const std::string done = "config generation advanced to " + std::to_string(2 + 3 * i);
    ASSERT_TRUE(reload(config.text(), done)) << "reload " << i << "\n" << daemon_->log();
    // Each worker, woken by the reload, acknowledges it once.
    ASSERT_TRUE(daemon_->waitForLog("worker: config reload acknowledged", kWorkers * i))
        << "reload " << i << "\n"
        << daemon_->log();
  }
  const std::regex awaiting(R"(\((\d+) awaiting reclamation\))");
  size_t lines = 0;
  for (const std::string& line : daemon_->logLines("awaiting reclamation")) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(line, match, awaiting)) << line;
    EXPECT_EQ(match[1], "1") << "input " << line << ": got " << match[1] << " awaiting, want 1";
    ++lines;
  }
  EXPECT_EQ(lines, 2u * kReloads);
  EXPECT_EQ(daemon_->logLines("worker: config reload acknowledged").size(), kWorkers * kReloads)
      << daemon_->log();
  stop();
}

// The seal tests need the daemon's own DNS port, 53, on an address of their own.
class DaemonSealReload : public DaemonReload {
 protected:
  void SetUp() override {
    DaemonReload::SetUp();
    for (const char* selector : {"one", "two", "three"}) {
      const std::string path = dir_.file(std::string(selector) + ".pem");
      const std::string record = writeRsaKey(path, 1024);
      ASSERT_FALSE(record.empty());
      keys_[selector] = path;
      records_[std::string(selector) + "._domainkey.example.org"] = record;
    }
    dns_.emplace(records_);
    if (!dns_->running()) GTEST_SKIP() << dns_->failure();
  }

  ConfigText sealingConfig(uint16_t port, const std::string& selector) {
    ConfigText config = baseConfig(dir_);
    config.global.insert(config.global.end(),
                         {"DnsNameserver = " + dns_->address(), "SealDomain = example.org",
                          "SealSelector = " + selector, "SealKeyFile = " + keys_[selector]});
    config.listeners.push_back({"seal", {listenerSocket(port), "Mode = seal"}});
    return config;
  }

  // Seals a sample through the open session; the sealed message as delivered.
  std::string sealThrough(MilterClient& client, std::string_view tag) {
    MtaMessage message = sampleMessage(tag);
    Result<EndOfMessage> answer = client.sendMessage(message);
    if (!answer) return {};
    return deliveredText(message, *answer, client.leadingSpace());
  }

  // tollbrook-check's verdict line on the message, asking our DNS server.
  std::string checkVerdict(const std::string& message) {
    const std::string path = dir_.write("sealed.eml", message);
    ProgramRun run = runProgram({toolPath("tollbrook-check"), "-n", dns_->address(), path});
    return run.out + run.err;
  }

  // dkimpy's cv for the message, with the same records.
  std::string dkimpyVerdict(const std::string& message) {
    if (std::string_view(TOLLBROOK_PYTHON3).empty()) return "pass (dkimpy not available)";
    std::string lines;
    for (const auto& [name, text] : records_) lines += name + "\t" + text + "\n";
    const std::string records = dir_.write("records.txt", lines);
    ProgramRun run = runProgramWithInput(
        dir_,
        {TOLLBROOK_PYTHON3, std::string(TOLLBROOK_SOURCE_DIR) + "/tests/arc_oracle.py", "verify",
         records},
        message);
    return run.out + run.err;
  }

  std::map<std::string, std::string> keys_;
  std::map<std::string, std::string> records_;
  std::optional<PortFiftyThreeDns> dns_;
};

std::string selectorOf(const std::string& message) {
  std::smatch match;
  const std::regex seal(R"(ARC-Seal:[\s\S]*?\bs=([a-z]+))");
  return std::regex_search(message, match, seal) ? std::string(match[1]) : "(no ARC-Seal)";
}

TEST_F(DaemonSealReload, ReloadedKeySignsTheNextSealAndAnUnloadableOneKeepsTheIdentity) {
  const uint16_t port = pickFreeLoopbackPort();
  ASSERT_TRUE(start(sealingConfig(port, "one"), port)) << daemon_->log();
  std::string failure;
  std::optional<MilterClient> client = openMilterSession(port, failure);
  ASSERT_TRUE(client) << failure;

  std::string sealed = sealThrough(*client, "1");
  EXPECT_EQ(selectorOf(sealed), "one");
  EXPECT_EQ(checkVerdict(sealed).rfind("pass", 0), 0u) << checkVerdict(sealed) << sealed;

  ASSERT_TRUE(reload(sealingConfig(port, "two").text(), "config generation advanced to 5"))
      << daemon_->log();
  EXPECT_TRUE(daemon_->waitForLog("seal key reloaded from " + keys_["two"]));
  sealed = sealThrough(*client, "2");
  EXPECT_EQ(selectorOf(sealed), "two");
  EXPECT_EQ(checkVerdict(sealed).rfind("pass", 0), 0u) << checkVerdict(sealed) << sealed;
  EXPECT_EQ(dkimpyVerdict(sealed).rfind("pass", 0), 0u) << dkimpyVerdict(sealed) << sealed;

  // A key its group may read is refused; selector three without its key
  // would make every seal fail, so selector two goes on with key two.
  ASSERT_EQ(chmod(keys_["three"].c_str(), 0640), 0);
  ASSERT_TRUE(reload(sealingConfig(port, "three").text(), "config generation advanced to 7"))
      << daemon_->log();
  EXPECT_TRUE(daemon_->waitForLog("reload: seal key " + keys_["three"] +
                                  " is mode 640, readable beyond its owner: chmod 600 and chown "
                                  "it to the user the daemon drops to -- keeping previous key"));
  sealed = sealThrough(*client, "3");
  EXPECT_EQ(selectorOf(sealed), "two");
  EXPECT_EQ(checkVerdict(sealed).rfind("pass", 0), 0u) << checkVerdict(sealed) << sealed;
  client.reset();
  stop();
}

// The first nameserver is silent, so the health monitor marks it down; after a
// reload to a live one, lookups must not be judged by the silent one's state.
TEST_F(DaemonSealReload, ReloadedNameserversAreJudgedByTheirOwnHealth) {
  const uint16_t sealPort = pickFreeLoopbackPort();
  const uint16_t verifyPort = pickFreeLoopbackPort();
  ConfigText config = sealingConfig(sealPort, "one");
  config.listeners.push_back({"verify", {listenerSocket(verifyPort), "Mode = verify"}});
  // Timeouts are remembered for a second only, so each message asks again.
  config.global.push_back("DnsNegativeTTL = 1");
  ConfigText silent = config;
  const ClaimedLoopback deadServer = silentLoopbackAddress();
  silent.global.at(silent.global.size() - 5) = "DnsNameserver = " + deadServer.address;
  ASSERT_TRUE(start(silent, verifyPort)) << daemon_->log();

  std::string failure;
  std::optional<MilterClient> sealer = openMilterSession(sealPort, failure);
  ASSERT_TRUE(sealer) << failure;
  MtaMessage sealed = sampleMessage("sealed");
  sealed.text = sealThrough(*sealer, "sealed");
  ASSERT_NE(sealed.text.find("ARC-Seal:"), std::string::npos) << daemon_->log();

  // Probes time out after 2 s and come every 5 s; two failures mark a server
  // down. Each message's lookup waits its 1 s DNS timeout meanwhile.
  const std::string markedDown = "not queried, all nameservers marked down (monitor)";
  std::optional<MilterClient> verifier = openMilterSession(verifyPort, failure);
  ASSERT_TRUE(verifier) << failure;
  const int64_t deadline = monotonicMilliseconds() + 60000;
  while (daemon_->logLines(markedDown).empty() && monotonicMilliseconds() < deadline) {
    EXPECT_NE(insertedResults(verifier->sendMessage(sealed)).find("arc=temperror"),
              std::string::npos);
  }
  ASSERT_FALSE(daemon_->logLines(markedDown).empty()) << daemon_->log();

  ASSERT_TRUE(reload(config.text(), "config generation advanced to 5")) << daemon_->log();
  const std::string verdict = insertedResults(verifier->sendMessage(sealed));
  EXPECT_NE(verdict.find("arc=pass"), std::string::npos) << verdict << "\n" << daemon_->log();
  sealer.reset();
  verifier.reset();
  stop();
}

}  // namespace
}  // namespace tollbrook::testing
