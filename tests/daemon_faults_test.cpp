// The built daemon under faults: its nameserver killed and started again, MTA
// peers that stop reading, the connection limit reached, a stream of SIGHUPs
// during a stream of messages, SIGTERM in the middle of a load, and a key
// domain whose lookups go unanswered. Keys come from a scripted DNS server on
// port 53 of a loopback address of its own (the daemon always asks port 53),
// serving dkimpy's key records.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "base/clock.h"
#include "tests/arc_test_support.h"
#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/dns_test_server.h"

namespace tollbrook::testing {
namespace {

std::string listenerSocket(uint16_t port) {
  return "Socket = inet:" + std::to_string(port) + "@127.0.0.1";
}

std::string lowerDotless(std::string name) {
  for (char& c : name) c = static_cast<char>(asciiLower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

// Answers TXT queries for `records`, stays silent for names ending in
// `silentSuffix`, and says NXDOMAIN for other names (an empty answer for the
// root, which the health monitor asks about).
DnsHandler serveRecords(std::map<std::string, std::string> records, std::string silentSuffix) {
  return [records = std::move(records), silentSuffix = std::move(silentSuffix)](
             const ReceivedQuery& q) -> std::optional<std::string> {
    const std::string name = lowerDotless(q.name);
    if (!silentSuffix.empty() && name.ends_with(silentSuffix)) return std::nullopt;
    auto it = records.find(name);
    if (it != records.end() && q.type == 16) return answerTxt({it->second})(q);
    return buildReply(q, name.empty() ? 0 : 3, {});
  };
}

// The scripted server on port 53 of one 127.0.53.x address, which can be
// stopped and started again at the same address.
class PortFiftyThreeKeys {
 public:
  PortFiftyThreeKeys(std::map<std::string, std::string> records, std::string silentSuffix = "")
      : records_(std::move(records)), silentSuffix_(std::move(silentSuffix)) {
    for (int attempt = 0; attempt < 10 && !server_; ++attempt) {
      claim_ = silentLoopbackAddress();
      address_ = claim_.address;
      start();
    }
  }
  bool running() const { return server_ != nullptr; }
  const std::string& address() const { return address_; }
  void stop() { server_.reset(); }
  void start() {
    server_ = DnsTestServer::start(address_, 53);
    if (server_) server_->setHandler(serveRecords(records_, silentSuffix_));
  }

 private:
  std::map<std::string, std::string> records_;
  std::string silentSuffix_;
  ClaimedLoopback claim_;  // keeps others off the address while the test runs
  std::string address_;
  std::unique_ptr<DnsTestServer> server_;
};

// One message as the MTA sends it, with the end of message read packet by
// packet, so that a connection closed in the middle of the replies shows.
struct Outcome {
  enum Kind { Answered, ClosedBeforeAnswer, HalfModified, Failed } kind = Failed;
  EndOfMessage answer;
};

Outcome sendWatchingTheEnd(MilterClient& client, const MtaMessage& message) {
  Outcome outcome;
  if (client.envfrom(message).value_or('?') != 'c') return outcome;
  if (client.envrcpt(message.recipients[0]).value_or('?') != 'c') return outcome;
  if (client.header("From", "Alice <alice@example.org>", false).value_or('?') != 'c') {
    return outcome;
  }
  if (client.header("Subject", message.queueId, false).value_or('?') != 'c') return outcome;
  if (client.endOfHeaders().value_or('?') != 'c') return outcome;
  if (client.body("Hello Bob,\r\n").value_or('?') != 'c') return outcome;
  if (!client.sendPacket('E', "")) return outcome;
  for (;;) {
    Result<MilterReply> reply = client.readReply();
    if (!reply) {
      outcome.kind = outcome.answer.modifications.empty() ? Outcome::ClosedBeforeAnswer
                                                          : Outcome::HalfModified;
      return outcome;
    }
    if (reply->code == 'i' || reply->code == 'h' || reply->code == 'm') {
      outcome.answer.modifications.push_back(*reply);
      continue;
    }
    outcome.answer.code = reply->code;
    outcome.kind = Outcome::Answered;
    return outcome;
  }
}

// One whole message packet after packet, without reading a reply.
bool sendWithoutReading(MilterClient& client) {
  return client.sendPacket('M', std::string("<alice@example.org>") + '\0') &&
         client.sendPacket('R', std::string("<bob@example.com>") + '\0') &&
         client.sendPacket('L', std::string("From\0Alice <alice@example.org>\0", 31)) &&
         client.sendPacket('N', "") && client.sendPacket('B', "Hello Bob,\r\n") &&
         client.sendPacket('E', "");
}

std::string verdictOf(const Result<EndOfMessage>& answer) {
  if (!answer) return "(no answer: " + std::string(errorName(answer.error())) + ")";
  std::optional<HeaderChange> field = insertedField(*answer, "Authentication-Results");
  return field ? field->value : "(no Authentication-Results inserted)";
}

MtaMessage messageFrom(const std::string& text, const std::string& queueId) {
  MtaMessage message;
  message.queueId = queueId;
  message.text = text;
  return message;
}

class DaemonFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::expected<std::string, std::string> made = arcFixtures();
    if (made) fixtures_ = new std::string(*made);
  }
  static void TearDownTestSuite() { delete fixtures_; }

  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "binding port 53 needs root";
    if (fixtures_ == nullptr) GTEST_SKIP() << "dkimpy's chains could not be made";
    ASSERT_TRUE(dir_.ok());
    port_ = pickFreeLoopbackPort();
  }

  static std::map<std::string, std::string> records() {
    return readRecords(*fixtures_ + "/records.txt");
  }
  static std::string fixture(const std::string& name) {
    return readFile(*fixtures_ + "/" + name + ".eml");
  }

  ConfigText config(const std::string& nameserver, int workers = 1) {
    ConfigText text = baseConfig(dir_);
    for (std::string& line : text.global) {
      if (line.starts_with("WorkerThreads")) line = "WorkerThreads = " + std::to_string(workers);
    }
    text.global.push_back("AuthservID = mx.example");
    text.global.push_back("DnsNameserver = " + nameserver);
    return text;
  }

  bool start(const ConfigText& text) {
    daemon_.emplace(DaemonProcess::withConfig(dir_, dir_.write("t.conf", text.text())));
    return daemon_->waitUntilListening(port_);
  }

  std::optional<MilterClient> session() {
    std::string failure;
    std::optional<MilterClient> client = openMilterSession(port_, failure);
    EXPECT_TRUE(client) << failure;
    return client;
  }

  // SIGTERM with every client gone: the daemon must leave cleanly.
  void stop() {
    daemon_->signal(SIGTERM);
    EXPECT_EQ(daemon_->waitForExit(), 0) << daemon_->log();
  }

  static std::string* fixtures_;
  ScratchDir dir_;
  uint16_t port_ = 0;
  std::optional<DaemonProcess> daemon_;
};

std::string* DaemonFaults::fixtures_ = nullptr;

TEST_F(DaemonFaults, NameserverKilledAndRestartedWithoutRestartingTheDaemon) {
  PortFiftyThreeKeys dns(records());
  ASSERT_TRUE(dns.running());
  const std::string key = dir_.file("seal.pem");
  ASSERT_FALSE(writeRsaKey(key, 2048).empty());
  ConfigText text = config(dns.address());
  text.global.push_back("On-DNSError = tempfail");
  // A timeout is remembered for the negative TTL; a short one lets the test see
  // the recovery soon.
  text.global.push_back("DnsNegativeTTL = 2");
  text.listeners.push_back({"mx",
                            {listenerSocket(port_), "Mode = both", "SealDomain = seal.example",
                             "SealSelector = sel", "SealKeyFile = " + key}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  std::optional<MilterClient> client = session();
  ASSERT_TRUE(client);
  Result<EndOfMessage> up = client->sendMessage(messageFrom(fixture("relaxed_1"), "Qup"));
  EXPECT_EQ(up ? up->code : '?', 'a') << verdictOf(up);
  EXPECT_NE(verdictOf(up).find("arc=pass"), std::string::npos) << verdictOf(up);

  // Down: a chain with a key not yet fetched is deferred, as On-DNSError says.
  dns.stop();
  Result<EndOfMessage> down = client->sendMessage(messageFrom(fixture("relaxed_2"), "Qdown"));
  EXPECT_EQ(down ? down->code : '?', 't') << verdictOf(down);
  EXPECT_NE(verdictOf(down).find("arc=temperror"), std::string::npos) << verdictOf(down);
  EXPECT_TRUE(daemon_->waitForLog("(On-DNSError=tempfail)")) << daemon_->log();

  // Up again: the same chain passes and is sealed, on the same connection and
  // on a new one, within a few seconds.
  dns.start();
  ASSERT_TRUE(dns.running());
  const int64_t deadline = monotonicMilliseconds() + 15000;
  Result<EndOfMessage> again = fail(Error::Unexpected);
  do {
    again = client->sendMessage(messageFrom(fixture("relaxed_2"), "Qagain"));
    if (again && again->code == 'a') break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } while (monotonicMilliseconds() < deadline);
  EXPECT_EQ(again ? again->code : '?', 'a') << verdictOf(again) << "\n" << daemon_->log();
  EXPECT_NE(verdictOf(again).find("arc=pass"), std::string::npos) << verdictOf(again);
  std::optional<MilterClient> fresh = session();
  ASSERT_TRUE(fresh);
  Result<EndOfMessage> other = fresh->sendMessage(messageFrom(fixture("relaxed_3"), "Qother"));
  EXPECT_EQ(other ? other->code : '?', 'a') << verdictOf(other);
  ASSERT_TRUE(client->quit());
  ASSERT_TRUE(fresh->quit());
  stop();
}

TEST_F(DaemonFaults, APeerThatStopsReadingHoldsOnlyItsOwnReplies) {
  PortFiftyThreeKeys dns(records());
  ASSERT_TRUE(dns.running());
  const std::string socketPath = dir_.file("milter.sock");
  const std::string key = dir_.file("seal.pem");
  ASSERT_FALSE(writeRsaKey(key, 2048).empty());
  ConfigText text = config(dns.address());
  text.global.insert(text.global.end(),
                     {"SealDomain = seal.example", "SealSelector = sel", "SealKeyFile = " + key});
  text.listeners.push_back({"tcp", {listenerSocket(port_), "Mode = verify"}});
  // Sealing makes the replies of each message a few KiB.
  text.listeners.push_back({"unix", {"Socket = unix:" + socketPath, "Mode = seal"}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  // Over a unix socket the kernel holds little of what the daemon writes, so
  // a peer that sends message after message without reading a reply soon
  // makes the daemon hold its replies. It sends a few more after that, well
  // below the daemon's bound on unwritten replies.
  Result<MilterClient> stalled = MilterClient::connectUnix(socketPath);
  ASSERT_TRUE(stalled);
  ASSERT_TRUE(stalled->negotiate(0x1FF, 0));
  ASSERT_EQ(stalled->openSession(MtaSession{}).value_or('?'), 'c');
  const std::string holding = "peer is not reading, will resume when it does";
  int messages = 0;
  for (int more = 20; more > 0 && messages < 2000; ++messages) {
    ASSERT_TRUE(sendWithoutReading(*stalled));
    if (messages % 10 == 9 && (more < 20 || daemon_->log().find(holding) != std::string::npos)) {
      more -= 10;
    }
  }
  ASSERT_TRUE(daemon_->waitForLog(holding)) << daemon_->log();

  // Meanwhile the same worker serves another MTA at once.
  std::optional<MilterClient> other = session();
  ASSERT_TRUE(other);
  const int64_t start = monotonicMilliseconds();
  Result<EndOfMessage> answer = other->sendMessage(sampleMessage("other"));
  const int64_t elapsed = monotonicMilliseconds() - start;
  EXPECT_NE(verdictOf(answer).find("arc=none"), std::string::npos) << verdictOf(answer);
  EXPECT_LT(elapsed, 5000) << "the other MTA waited " << elapsed << " ms";
  ASSERT_TRUE(other->quit());

  // When the stalled peer reads, every reply it was owed arrives, in order.
  int inserted = 0;
  while (inserted < 3 * messages) {
    Result<MilterReply> reply = stalled->readReply();
    ASSERT_TRUE(reply) << "after " << inserted << " fields: " << errorName(reply.error());
    if (reply->code == 'i') ++inserted;
  }
  Result<MilterReply> last = stalled->readReply();
  ASSERT_TRUE(last);
  EXPECT_EQ(last->code, 'a');
  std::printf("[ figures  ] %d sealed messages sent before reading; %s\n", messages,
              daemon_->logLines(holding).at(0).c_str());
  ASSERT_TRUE(stalled->quit());

  // A peer that never reads is dropped at the bound, and only it.
  Result<MilterClient> never = MilterClient::connectUnix(socketPath);
  ASSERT_TRUE(never);
  ASSERT_TRUE(never->negotiate(0x1FF, 0));
  ASSERT_EQ(never->openSession(MtaSession{}).value_or('?'), 'c');
  const std::string full = "bytes of replies unread, output queue full";
  // Sending fails once the daemon has closed the connection.
  for (int i = 0; i < 5000 && sendWithoutReading(*never); ++i) {
  }
  EXPECT_TRUE(daemon_->waitForLog(full)) << daemon_->log();
  std::optional<MilterClient> after = session();
  ASSERT_TRUE(after);
  EXPECT_NE(verdictOf(after->sendMessage(sampleMessage("after"))).find("arc=none"),
            std::string::npos);
  ASSERT_TRUE(after->quit());
  stop();
}

TEST_F(DaemonFaults, TheConnectionLimitRefusesThenServesOnceAPlaceIsFree) {
  const ClaimedLoopback silent = silentLoopbackAddress();
  ConfigText text = config(silent.address);
  text.global.push_back("MaxConnections = 2");
  text.listeners.push_back({"mx", {listenerSocket(port_), "Mode = verify"}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  std::optional<MilterClient> first = session();
  std::optional<MilterClient> second = session();
  ASSERT_TRUE(first && second);
  Result<MilterClient> third = MilterClient::connectTcp(port_);
  ASSERT_TRUE(third);  // the kernel accepts; the daemon then closes it
  third->setTimeoutMs(5000);
  EXPECT_TRUE(third->peerClosed()) << "the connection over the limit stayed open";
  EXPECT_TRUE(daemon_->waitForLog("connection(s): worker 0 is at MaxConnections=2"))
      << daemon_->log();

  ASSERT_TRUE(first->quit());
  std::optional<MilterClient> next;
  const int64_t deadline = monotonicMilliseconds() + 5000;
  while (!next && monotonicMilliseconds() < deadline) {
    std::string failure;
    next = openMilterSession(port_, failure);
    if (!next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(next) << "no place came free\n" << daemon_->log();
  Result<EndOfMessage> answer = next->sendMessage(sampleMessage("next"));
  EXPECT_NE(verdictOf(answer).find("arc=none"), std::string::npos) << verdictOf(answer);
  Result<EndOfMessage> kept = second->sendMessage(sampleMessage("kept"));
  EXPECT_NE(verdictOf(kept).find("arc=none"), std::string::npos) << verdictOf(kept);
  ASSERT_TRUE(next->quit());
  ASSERT_TRUE(second->quit());
  stop();
}

TEST_F(DaemonFaults, EveryMessageIsAnsweredThroughAStreamOfReloads) {
  PortFiftyThreeKeys dns(records());
  ASSERT_TRUE(dns.running());
  ConfigText text = config(dns.address(), 2);
  text.listeners.push_back({"mx", {listenerSocket(port_), "Mode = verify"}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  std::atomic<bool> done{false};
  std::thread hangups([&] {
    while (!done) {
      daemon_->signal(SIGHUP);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  // Two seconds of messages: some twenty reloads land among them.
  const std::string chain = fixture("relaxed_3");
  const int64_t until = monotonicMilliseconds() + 2000;
  int sent = 0, answered = 0;
  while (monotonicMilliseconds() < until) {
    // A new connection every few messages, so both workers take part.
    std::optional<MilterClient> client = session();
    if (!client) break;
    for (int j = 0; j < 3; ++j, ++sent) {
      Result<EndOfMessage> answer =
          client->sendMessage(messageFrom(chain, "Q" + std::to_string(sent)));
      if (verdictOf(answer).find("arc=pass") != std::string::npos) {
        ++answered;
      } else {
        ADD_FAILURE() << "message " << sent << ": " << verdictOf(answer);
      }
    }
    (void)client->quit();
  }
  done = true;
  hangups.join();
  EXPECT_EQ(answered, sent);
  std::printf("[ figures  ] %d messages answered through two seconds of SIGHUP every 100 ms\n",
              sent);
  EXPECT_TRUE(daemon_->alive()) << daemon_->log();
  EXPECT_TRUE(daemon_->waitForLog("configuration reloaded from", 5)) << daemon_->log();
  stop();
}

TEST_F(DaemonFaults, SigtermUnderLoadAnswersOrClosesEveryMessageNeverHalfModified) {
  PortFiftyThreeKeys dns(records());
  ASSERT_TRUE(dns.running());
  ConfigText text = config(dns.address(), 2);
  text.listeners.push_back({"mx", {listenerSocket(port_), "Mode = verify"}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  constexpr int kClients = 4;
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::vector<std::string> faults;
  std::atomic<int> answered{0}, closed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::string failure;
      std::optional<MilterClient> client = openMilterSession(port_, failure);
      if (!client) return;
      for (int i = 0; !stopping; ++i) {
        const std::string id = "Q" + std::to_string(c) + "x" + std::to_string(i);
        Outcome outcome = sendWatchingTheEnd(*client, messageFrom("", id));
        if (outcome.kind == Outcome::Answered &&
            insertedField(outcome.answer, "Authentication-Results")) {
          ++answered;
          continue;
        }
        std::lock_guard lock(mutex);
        if (outcome.kind == Outcome::HalfModified)
          faults.push_back(id + ": half modified");
        else if (outcome.kind == Outcome::Answered)
          faults.push_back(id + ": no verdict");
        else
          ++closed;
        return;
      }
      (void)client->quit();
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  daemon_->signal(SIGTERM);
  ASSERT_TRUE(daemon_->waitForLog("draining connections")) << daemon_->log();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stopping = true;
  for (std::thread& thread : clients) thread.join();
  EXPECT_TRUE(faults.empty()) << faults.front();
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(daemon_->waitForExit(), 0) << daemon_->log();
  std::printf(
      "[ figures  ] SIGTERM under load: %d messages answered, %d connections closed "
      "before an answer\n",
      answered.load(), closed.load());
}

// Not a bound but a figure: a worker waits for a key lookup that is never
// answered, and everything else on that worker waits with it (the lookup's
// timeout is then remembered for the negative TTL, so only the first waits).
TEST_F(DaemonFaults, ASilentKeyDomainDelaysTheOtherConnectionsOfItsWorker) {
  PortFiftyThreeKeys dns(records(), "hop2.example");
  ASSERT_TRUE(dns.running());
  ConfigText text = config(dns.address());
  text.listeners.push_back({"mx", {listenerSocket(port_), "Mode = verify"}});
  ASSERT_TRUE(start(text)) << daemon_->log();

  std::optional<MilterClient> fast = session();
  ASSERT_TRUE(fast);
  auto sendPlain = [&](int i) {
    const int64_t start = monotonicMilliseconds();
    Result<EndOfMessage> answer = fast->sendMessage(sampleMessage("p" + std::to_string(i)));
    EXPECT_NE(verdictOf(answer).find("arc=none"), std::string::npos) << verdictOf(answer);
    return monotonicMilliseconds() - start;
  };
  std::vector<int64_t> alone, beside;
  for (int i = 0; i < 10; ++i) alone.push_back(sendPlain(i));

  std::atomic<bool> done{false};
  std::atomic<int> slowAnswers{0};
  std::thread slow([&] {
    std::string failure;
    std::optional<MilterClient> client = openMilterSession(port_, failure);
    if (!client) return;
    while (!done) {
      Result<EndOfMessage> answer = client->sendMessage(messageFrom(fixture("relaxed_2"), "Qs"));
      if (verdictOf(answer).find("arc=temperror") != std::string::npos) ++slowAnswers;
    }
    (void)client->quit();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < 10; ++i) beside.push_back(sendPlain(100 + i));
  done = true;
  slow.join();
  EXPECT_GT(slowAnswers.load(), 0);
  std::sort(alone.begin(), alone.end());
  std::sort(beside.begin(), beside.end());
  std::printf(
      "[ figures  ] plain message latency on one worker: alone median %lld ms max %lld ms; "
      "beside a silent key domain (DnsTimeout=1) median %lld ms max %lld ms\n",
      static_cast<long long>(alone[5]), static_cast<long long>(alone.back()),
      static_cast<long long>(beside[5]), static_cast<long long>(beside.back()));
  ASSERT_TRUE(fast->quit());
  stop();
}

}  // namespace
}  // namespace tollbrook::testing
