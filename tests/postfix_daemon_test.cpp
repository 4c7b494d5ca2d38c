// The built daemon behind a private Postfix, end to end: messages sent over
// SMTP and submitted locally come out of Postfix's delivery with our verdict
// field, without Authentication-Results that impersonate this host, and with
// a new ARC set that dkimpy and tollbrook-check both accept; chains made
// upstream by dkimpy are continued with the cv they deserve; a key lookup
// that gets no answer and a daemon that is down both make Postfix answer 4xx
// without losing the message. One Postfix, one daemon (mode both) and one
// dnsmasq serving the keys are shared by the tests of a process.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/arc_test_support.h"
#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/outside_programs.h"
#include "tests/postfix_instance.h"

namespace tollbrook::testing {
namespace {

constexpr char kHostName[] = "mta.tollbrook.test";  // Postfix's myhostname and our authserv-id
constexpr char kSealDomain[] = "tollbrook.test";
constexpr char kSealSelector[] = "seal";
constexpr char kUpstreamDomain[] = "upstream.example";  // the dkimpy hop before us
constexpr char kUpstreamSelector[] = "up";
// A key domain the test's DNS server does not serve: it refuses every
// question about it, so no key ever comes back.
constexpr char kUnservedDomain[] = "unserved.org";

// Everything one process of tests shares, started by the first test that
// needs it and stopped when the binary ends (Postfix first: it holds
// connections to the daemon).
class SharedWorld : public ::testing::Environment {
 public:
  // Empty when the world runs; what went wrong otherwise.
  static std::string start() {
    if (started_) return failure_;
    started_ = true;
    failure_ = build();
    return failure_;
  }
  void TearDown() override {
    postfix_.reset();
    daemon_.reset();
    dns_.reset();
    dir_.reset();
  }

  static ScratchDir& dir() { return *dir_; }
  static PostfixInstance& postfix() { return *postfix_; }
  static std::optional<DaemonProcess>& daemon() { return daemon_; }
  static const std::string& dnsAddress() { return dns_->address(); }
  static const std::map<std::string, std::string>& records() { return records_; }
  static const std::string& upstreamKey() { return upstreamKey_; }

  // Starts the daemon on the shared configuration; false when it does not
  // come up (its log says why).
  static bool startDaemon() {
    daemon_.emplace(DaemonProcess::withConfig(*dir_, configPath_));
    return daemon_->waitUntilListening(milterPort_);
  }

 private:
  static std::string build() {
    dir_ = std::make_unique<ScratchDir>();
    const std::string sealKey = dir_->file("seal.pem");
    const std::string sealRecord = writeRsaKey(sealKey, 2048);
    if (sealRecord.empty()) return "cannot write the seal key";
    // dkimpy reads PKCS#1 keys, which its oracle script writes.
    upstreamKey_ = dir_->file("upstream.pem");
    ProgramRun keygen = runOracle({"keygen", "1024", upstreamKey_});
    if (keygen.status != 0) return "dkimpy's key generation failed: " + keygen.err;
    std::string upstreamText = keygen.out.substr(0, keygen.out.find('\n'));
    records_ = {
        {std::string(kSealSelector) + "._domainkey." + kSealDomain, sealRecord},
        {std::string(kUpstreamSelector) + "._domainkey." + kUpstreamDomain,
         "v=DKIM1; k=rsa; p=" + upstreamText},
    };
    dns_ = std::make_unique<PortFiftyThreeDns>(records_);
    if (!dns_->running()) return "dnsmasq: " + dns_->failure();

    milterPort_ = pickFreeLoopbackPort();
    if (milterPort_ == 0) return "no free port for the daemon";
    ConfigText config = baseConfig(*dir_);
    config.global.insert(
        config.global.end(),
        {std::string("AuthservID = ") + kHostName, "DnsNameserver = " + dns_->address(),
         "StripAuthResults = yes", "On-DNSError = tempfail",
         std::string("SealDomain = ") + kSealDomain, std::string("SealSelector = ") + kSealSelector,
         "SealKeyFile = " + sealKey});
    config.listeners.push_back(
        {"mta", {"Socket = inet:" + std::to_string(milterPort_) + "@127.0.0.1", "Mode = both"}});
    configPath_ = dir_->write("tollbrook.conf", config.text());
    if (!startDaemon()) return "the daemon did not start:\n" + daemon_->log();

    const std::string milter = "inet:127.0.0.1:" + std::to_string(milterPort_);
    postfix_ = std::make_unique<PostfixInstance>(PostfixOptions{milter, milter, {}});
    if (!postfix_->running()) return "Postfix did not start: " + postfix_->error();
    return {};
  }

  static inline bool started_ = false;
  static inline std::string failure_;
  static inline std::unique_ptr<ScratchDir> dir_;
  static inline std::map<std::string, std::string> records_;
  static inline std::string upstreamKey_;
  static inline std::string configPath_;
  static inline uint16_t milterPort_ = 0;
  static inline std::unique_ptr<PortFiftyThreeDns> dns_;
  static inline std::optional<DaemonProcess> daemon_;
  static inline std::unique_ptr<PostfixInstance> postfix_;
};

const auto* const kSharedWorld = ::testing::AddGlobalTestEnvironment(new SharedWorld);

class PostfixDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Dnsmasq,
                           OutsideProgram::Postfix, OutsideProgram::PostfixSendmail,
                           OutsideProgram::Postqueue);
    if (std::string reason = postfixUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    const std::string failure = SharedWorld::start();
    ASSERT_TRUE(failure.empty()) << failure;
  }
  static PostfixInstance& postfix() { return SharedWorld::postfix(); }
  static DaemonProcess& daemon() { return *SharedWorld::daemon(); }
};

// --- message texts -----------------------------------------------------------

std::string withCrLf(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string withLf(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// The header block and the body of an LF message.
std::string_view headerBlock(std::string_view message) {
  const size_t end = message.find("\n\n");
  return end == std::string_view::npos ? message : message.substr(0, end + 1);
}
std::string_view bodyOf(std::string_view message) {
  const size_t end = message.find("\n\n");
  return end == std::string_view::npos ? std::string_view() : message.substr(end + 2);
}

struct Field {
  std::string name;
  std::string value;  // after the colon, folds kept
};

std::vector<Field> fieldsOf(std::string_view message) {
  std::vector<Field> fields;
  std::string_view block = headerBlock(message);
  size_t at = 0;
  while (at < block.size()) {
    size_t end = block.find('\n', at);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(at, end - at);
    if ((line.starts_with(' ') || line.starts_with('\t')) && !fields.empty()) {
      fields.back().value += "\n" + std::string(line);
    } else {
      const size_t colon = line.find(':');
      fields.push_back(
          {std::string(line.substr(0, colon)),
           colon == std::string_view::npos ? "" : std::string(line.substr(colon + 1))});
    }
    at = end + 1;
  }
  return fields;
}

std::vector<std::string> namesOf(std::string_view message) {
  std::vector<std::string> names;
  for (const Field& field : fieldsOf(message)) names.push_back(field.name);
  return names;
}

bool sameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// The values of the fields named `name` (in any case), top to bottom.
std::vector<std::string> valuesOf(std::string_view message, std::string_view name) {
  std::vector<std::string> values;
  for (const Field& field : fieldsOf(message)) {
    if (sameName(field.name, name)) values.push_back(field.value);
  }
  return values;
}

// A tag list without any whitespace, for looking up "i=2;" and "cv=pass;".
std::string compact(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') out += c;
  }
  return out + ";";
}

// The tag text of the ARC-Seal of `instance` ("i=N;" ... ";"), compacted;
// empty when there is none.
std::string sealOfInstance(std::string_view message, int instance) {
  const std::string wanted = "i=" + std::to_string(instance) + ";";
  for (const std::string& value : valuesOf(message, "ARC-Seal")) {
    std::string tags = compact(value);
    if (tags.starts_with(wanted) || tags.find(";" + wanted) != std::string::npos) return tags;
  }
  return {};
}

// --- the verifiers -------------------------------------------------------------

// tollbrook-check's verdict for a delivered (LF) message, asking the test's
// DNS server.
std::string checkVerdict(std::string_view delivered) {
  const std::string path = SharedWorld::dir().write("check.eml", withCrLf(delivered));
  ProgramRun run = runProgram({toolPath("tollbrook-check"), "-n", SharedWorld::dnsAddress(), path});
  std::string out = run.out.substr(0, run.out.find('\n'));
  return out.empty() ? "(no verdict: " + run.err + ")" : out;
}

// dkimpy's cv for a delivered (LF) message, with the same key records.
std::string dkimpyVerdict(std::string_view delivered) {
  std::string lines;
  for (const auto& [name, text] : SharedWorld::records()) lines += name + "\t" + text + "\n";
  const std::string records = SharedWorld::dir().write("records.txt", lines);
  const std::string input = SharedWorld::dir().write("dkimpy.eml", withCrLf(delivered));
  ProgramOptions options;
  options.stdinPath = input.c_str();
  ProgramRun run = runTestScript("arc_oracle.py", {"verify", records}, options);
  std::string out = run.out.substr(0, run.out.find('\t'));
  return out.empty() ? "(no verdict: " + run.err + ")" : out;
}

// The message with a new ARC set of the upstream hop on top, made by dkimpy,
// after an Authentication-Results field of that hop (dkimpy seals only what a
// hop of its own checked). CR LF line ends.
std::string upstreamSealed(std::string_view message, std::string_view canonicalization,
                           std::string_view keyDomain = kUpstreamDomain) {
  const std::string input = SharedWorld::dir().write(
      "upstream.eml", "Authentication-Results: " + std::string(keyDomain) +
                          "; spf=pass smtp.mailfrom=example.org\r\n" + withCrLf(message));
  ProgramOptions options;
  options.stdinPath = input.c_str();
  ProgramRun run =
      runTestScript("arc_oracle.py",
                    {"seal", SharedWorld::upstreamKey(), kUpstreamSelector, std::string(keyDomain),
                     std::string(keyDomain), std::string(canonicalization)},
                    options);
  EXPECT_EQ(run.status, 0) << run.err;
  return run.out;
}

// A message from example.org; `tag` makes it unique, `subject` (a whole
// field with its line end) replaces the plain Subject. The body has what
// relaxed canonicalization would forgive and a transport must not touch:
// trailing blanks, tabs, a leading dot, blank lines at the end.
std::string plainMessage(std::string_view tag, std::string_view extraHeaders = {},
                         std::string_view subject = {}) {
  return std::string(extraHeaders) +
         "From: Alice <alice@example.org>\n"
         "To: Bob <bob@example.com>\n" +
         (subject.empty() ? "Subject: end to end " + std::string(tag) + "\n"
                          : std::string(subject)) +
         "Date: Thu, 1 Jan 2026 12:00:00 +0000\n"
         "Message-ID: <" +
         std::string(tag) +
         "@example.org>\n"
         "\n"
         "Hello Bob,\n"
         "  indented, with trailing blanks   \n"
         "tabs\tinside\t\there\n"
         ".a line that starts with a dot\n"
         "\n"
         "\n";
}

// Waits (bounded) until the daemon's log holds `text` `count` times.
bool daemonHas(std::string_view text, size_t count = 1) {
  return SharedWorld::daemon()->waitForLog(text, count, 10000);
}

// The daemon's result line for a queue id.
std::string resultLine(std::string_view queueId) {
  const std::string wanted = "id=" + std::string(queueId) + " ";
  if (!SharedWorld::daemon()->waitForLog(wanted, 1, 10000)) {
    return "(no result line for " + std::string(queueId) + ")";
  }
  return SharedWorld::daemon()->logLines(wanted).front();
}

// What the next hop reads first: our ARC set, then our verdict field, then
// the Received field Postfix added for the hop that brought the message.
// `verdict` is the start of the resinfo of our field.
void expectOurFieldsOnTop(const std::string& delivered, std::string_view verdict) {
  std::vector<std::string> names = namesOf(delivered);
  ASSERT_GE(names.size(), 5u) << delivered;
  EXPECT_EQ(
      std::vector<std::string>(names.begin(), names.begin() + 5),
      (std::vector<std::string>{"ARC-Seal", "ARC-Message-Signature", "ARC-Authentication-Results",
                                "Authentication-Results", "Received"}))
      << delivered;
  EXPECT_TRUE(fieldsOf(delivered)[3].value.starts_with(" " + std::string(kHostName) + ";\n\t" +
                                                       std::string(verdict)))
      << delivered;
}

TEST_F(PostfixDaemon, SealsOverSmtpAndLocalSubmissionAndDropsForgedResults) {
  // Fields claiming our authserv-id (with a version, in another case, under
  // a name in lower case, folded) are forgeries; one for a longer name and
  // one of another host stay.
  const std::string forged =
      "Authentication-Results: mta.tollbrook.test; spf=pass smtp.mailfrom=example.org\n"
      "Authentication-Results: other.example; arc=pass\n"
      "Authentication-Results: MTA.tollbrook.test 1; arc=pass\n"
      "Authentication-Results: mta.tollbrook.test.evil; dkim=pass\n"
      "authentication-results:\n\tmta.tollbrook.test;\n\tdkim=pass header.d=example.org\n";
  struct Case {
    const char* name;
    bool smtp;
  } const cases[] = {{"smtp", true}, {"local", false}};
  size_t messages = 0;
  for (const Case& c : cases) {
    ++messages;
    SCOPED_TRACE(c.name);
    const std::string recipient = std::string("bob@") + c.name + "-seal.test";
    const std::string sent = plainMessage(std::string(c.name) + "-seal", forged);
    std::string queueId;
    if (c.smtp) {
      SmtpTransaction t = postfix().sendSmtp("alice@example.org", {recipient}, sent);
      ASSERT_EQ(t.dataEnd.code, 250) << t.describe() << daemon().log();
      queueId = t.queueId;
    } else {
      ProgramRun run = postfix().submit("alice@example.org", {recipient}, sent);
      ASSERT_EQ(run.status, 0) << run.err;
    }
    std::optional<PostfixDelivery> d = postfix().waitForDelivery(recipient, queueId);
    ASSERT_TRUE(d) << postfix().log() << daemon().log();
    const std::string& delivered = d->message;

    expectOurFieldsOnTop(delivered, "arc=none");
    EXPECT_EQ(
        valuesOf(delivered, "Authentication-Results"),
        (std::vector<std::string>{" mta.tollbrook.test;\n\tarc=none", " other.example; arc=pass",
                                  " mta.tollbrook.test.evil; dkim=pass"}))
        << delivered;
    EXPECT_TRUE(
        daemonHas("removed 3 forged Authentication-Results header(s) claiming "
                  "authserv-id mta.tollbrook.test",
                  messages))
        << daemon().log();
    const std::string seal = sealOfInstance(delivered, 1);
    EXPECT_NE(seal.find(";cv=none;"), std::string::npos) << delivered;
    EXPECT_NE(seal.find(";d=tollbrook.test;"), std::string::npos) << delivered;
    EXPECT_EQ(compact(valuesOf(delivered, "ARC-Authentication-Results").at(0)),
              "i=1;mta.tollbrook.test;none;");
    EXPECT_EQ(bodyOf(delivered), bodyOf(sent)) << delivered;
    EXPECT_EQ(checkVerdict(delivered), "pass") << delivered;
    EXPECT_EQ(dkimpyVerdict(delivered), "pass") << delivered;

    // The result line names Postfix's queue id and the client: the connect
    // address, since Postfix sends no {client_addr} by default (and a local
    // submission comes from 127.0.0.1 too).
    const std::string line = resultLine(d->queueId);
    EXPECT_NE(line.find(" client=127.0.0.1 listener=0 mode=both elapsed="), std::string::npos)
        << line;
  }
}

// Chains made upstream by dkimpy leave with our set at i=2: one that holds
// with cv=pass, whatever the canonicalization (a folded Subject under
// simple/simple must reach the daemon byte for byte), one whose body changed
// after it was sealed with cv=fail.
TEST_F(PostfixDaemon, UpstreamChainsAreContinuedWithTheirCv) {
  struct Case {
    const char* name;
    const char* canonicalization;
    const char* subject;
    bool tampered;
    bool smtp;
    const char* cv;
    // dkimpy reads a chain whose newest seal says cv=fail as ended, once the
    // newest AMS (ours) verified; it names no cv for it.
    const char* dkimpyCv;
  } const cases[] = {
      {"relaxed", "relaxed/relaxed", "", false, true, "pass", "pass"},
      {"relaxed-local", "relaxed/relaxed", "", false, false, "pass", "pass"},
      {"simple-folded", "simple/simple", "Subject: A folded\n\tsubject   line \n", false, true,
       "pass", "pass"},
      {"tampered", "relaxed/relaxed", "", true, true, "fail", "none-ended"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string recipient = std::string("bob@") + c.name + "-chain.test";
    std::string sent = upstreamSealed(plainMessage(c.name, {}, c.subject), c.canonicalization);
    ASSERT_FALSE(sent.empty());
    if (c.tampered) sent += "P.S. a line added in transit\r\n";
    std::string queueId;
    if (c.smtp) {
      SmtpTransaction t = postfix().sendSmtp("alice@example.org", {recipient}, sent);
      ASSERT_EQ(t.dataEnd.code, 250) << t.describe() << daemon().log();
      queueId = t.queueId;
    } else {
      ProgramRun run = postfix().submit("alice@example.org", {recipient}, withLf(sent));
      ASSERT_EQ(run.status, 0) << run.err;
    }
    std::optional<PostfixDelivery> d = postfix().waitForDelivery(recipient, queueId);
    ASSERT_TRUE(d) << postfix().log() << daemon().log();
    const std::string& delivered = d->message;

    expectOurFieldsOnTop(delivered, std::string("arc=") + c.cv);
    const std::string seal = sealOfInstance(delivered, 2);
    EXPECT_NE(seal.find(std::string(";cv=") + c.cv + ";"), std::string::npos)
        << "input " << c.name << ": got seal " << seal << ", want cv=" << c.cv << "\n"
        << delivered;
    EXPECT_FALSE(sealOfInstance(delivered, 1).empty()) << delivered;
    EXPECT_EQ(bodyOf(delivered), bodyOf(withLf(sent))) << delivered;
    EXPECT_EQ(checkVerdict(delivered), c.cv) << delivered;
    EXPECT_EQ(dkimpyVerdict(delivered), c.dkimpyCv) << delivered;
  }
}

// Postfix keeps one milter connection for the whole SMTP session: a
// transaction given up before DATA, a message with a forged field, and then
// that message again as delivered (our own seal and verdict, as a next pass
// through this host sees them) each get what is theirs.
TEST_F(PostfixDaemon, OneSmtpSessionCarriesSeveralMessages) {
  SmtpClient client(postfix().smtpPort());
  ASSERT_EQ(client.greeting().code, 220);
  ASSERT_EQ(client.command("EHLO client.test").code, 250);
  // One transaction: the envelope, the message, its delivery.
  auto send = [&](const std::string& recipient,
                  const std::string& text) -> std::optional<PostfixDelivery> {
    EXPECT_EQ(client.command("MAIL FROM:<alice@example.org>").code, 250);
    EXPECT_EQ(client.command("RCPT TO:<" + recipient + ">").code, 250);
    EXPECT_EQ(client.command("DATA").code, 354);
    SmtpReply end = client.data(text);
    EXPECT_EQ(end.code, 250) << end.text();
    return postfix().waitForDelivery(recipient, queueIdOfReply(end));
  };

  ASSERT_EQ(client.command("MAIL FROM:<alice@example.org>").code, 250);
  ASSERT_EQ(client.command("RCPT TO:<nobody@session.test>").code, 250);
  ASSERT_EQ(client.command("RSET").code, 250);

  std::optional<PostfixDelivery> first =
      send("first@session.test",
           plainMessage("session", "Authentication-Results: mta.tollbrook.test; arc=pass\n"));
  ASSERT_TRUE(first) << postfix().log() << daemon().log();
  expectOurFieldsOnTop(first->message, "arc=none");
  EXPECT_EQ(valuesOf(first->message, "Authentication-Results").size(), 1u) << first->message;
  EXPECT_FALSE(sealOfInstance(first->message, 1).empty()) << first->message;

  std::optional<PostfixDelivery> again = send("again@session.test", first->message);
  ASSERT_TRUE(again) << postfix().log() << daemon().log();
  expectOurFieldsOnTop(again->message, "arc=pass");
  // Our earlier verdict claims our authserv-id, so it went like any forgery.
  EXPECT_EQ(valuesOf(again->message, "Authentication-Results").size(), 1u) << again->message;
  EXPECT_NE(sealOfInstance(again->message, 2).find(";cv=pass;"), std::string::npos)
      << again->message;
  EXPECT_EQ(bodyOf(again->message), bodyOf(first->message));
  EXPECT_EQ(checkVerdict(again->message), "pass") << again->message;
  EXPECT_EQ(dkimpyVerdict(again->message), "pass") << again->message;
  client.command("QUIT");
}

// Postfix runs several smtpd processes, each with a milter connection of its
// own; the daemon's workers serve them side by side. Each sender thread has
// its own client; the results are judged on the test thread.
TEST_F(PostfixDaemon, ConcurrentSessionsAreEachSealed) {
  constexpr int kSenders = 6;
  constexpr int kMessagesEach = 2;
  auto recipient = [](int sender, int n) {
    return "r" + std::to_string(sender) + "-" + std::to_string(n) + "@parallel.test";
  };
  std::vector<int> codes(kSenders * kMessagesEach, 0);
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int n = 0; n < kMessagesEach; ++n) {
        codes[s * kMessagesEach + n] =
            sendSmtpMessage(postfix().smtpPort(), "client.test", "alice@example.org",
                            {recipient(s, n)}, plainMessage(recipient(s, n)))
                .dataEnd.code;
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  for (int s = 0; s < kSenders; ++s) {
    for (int n = 0; n < kMessagesEach; ++n) {
      SCOPED_TRACE(recipient(s, n));
      ASSERT_EQ(codes[s * kMessagesEach + n], 250);
      std::optional<PostfixDelivery> d = postfix().waitForDelivery(recipient(s, n));
      ASSERT_TRUE(d) << postfix().log();
      EXPECT_EQ(checkVerdict(d->message), "pass") << d->message;
      EXPECT_NE(d->message.find("Subject: end to end " + recipient(s, n) + "\n"), std::string::npos)
          << d->message;
    }
  }
}

// True when `queue` holds a message for `recipient` in the named queue.
bool queued(const std::vector<PostfixQueueEntry>& queue, const std::string& recipient,
            std::string_view queueName) {
  for (const PostfixQueueEntry& entry : queue) {
    for (const std::string& r : entry.recipients) {
      if (r == recipient && entry.queueName == queueName) return true;
    }
  }
  return false;
}

bool delivered(const std::string& recipient) {
  for (const PostfixDelivery& d : SharedWorld::postfix().deliveries()) {
    if (d.recipient == recipient) return true;
  }
  return false;
}

// A chain whose key lookup gets no answer (the DNS server refuses every
// question about the key's domain) cannot be judged, and sealing it cv=fail
// would be permanent: with On-DNSError=tempfail Postfix answers 4xx at the
// end of data, and a local submission stays in the queue.
TEST_F(PostfixDaemon, KeyLookupWithoutAnswerTempfailsAndDeliversNothing) {
  const std::string sent =
      upstreamSealed(plainMessage("unanswered"), "relaxed/relaxed", kUnservedDomain);
  ASSERT_FALSE(sent.empty());
  SmtpTransaction t = postfix().sendSmtp("alice@example.org", {"bob@unanswered.test"}, sent);
  EXPECT_EQ(t.dataEnd.code, 451) << t.describe() << daemon().log();
  EXPECT_EQ(t.dataEnd.text(), "451 4.7.1 Service unavailable - try again later");
  EXPECT_TRUE(t.queueId.empty()) << t.describe();
  EXPECT_TRUE(daemonHas("; sealing cv=fail would be permanent (On-DNSError=tempfail)"))
      << daemon().log();

  ProgramRun run =
      postfix().submit("alice@example.org", {"bob@unanswered-local.test"}, withLf(sent));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(
      postfix().waitForLog("milter-reject: END-OF-MESSAGE from localhost[127.0.0.1]: 4.7.1"))
      << postfix().log();
  const std::vector<PostfixQueueEntry> queue = postfix().queue();
  EXPECT_TRUE(queued(queue, "bob@unanswered-local.test", "maildrop")) << postfix().log();
  EXPECT_FALSE(delivered("bob@unanswered.test"));
  EXPECT_FALSE(delivered("bob@unanswered-local.test"));
}

// With the daemon stopped Postfix answers SMTP with 4xx and keeps a local
// submission; once the daemon is back, a flush delivers it sealed and SMTP
// goes through again.
TEST_F(PostfixDaemon, DaemonDownTempfailsAndLosesNothing) {
  daemon().signal(SIGTERM);
  ASSERT_EQ(daemon().waitForExit(), 0) << daemon().log();

  const std::string smtpText = plainMessage("down-smtp");
  SmtpTransaction refused = postfix().sendSmtp("alice@example.org", {"bob@down.test"}, smtpText);
  EXPECT_EQ(refused.mail.code, 451) << refused.describe();
  EXPECT_TRUE(refused.queueId.empty());
  ProgramRun run =
      postfix().submit("alice@example.org", {"bob@down-local.test"}, plainMessage("down-local"));
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(postfix().waitForLog("milter-reject: CONNECT from localhost[127.0.0.1]: 4.7.1"))
      << postfix().log();
  EXPECT_TRUE(queued(postfix().queue(), "bob@down-local.test", "maildrop")) << postfix().log();
  EXPECT_FALSE(delivered("bob@down-local.test"));

  ASSERT_TRUE(SharedWorld::startDaemon()) << daemon().log();
  ASSERT_TRUE(postfix().flush());
  std::optional<PostfixDelivery> local = postfix().waitForDelivery("bob@down-local.test");
  ASSERT_TRUE(local) << postfix().log() << daemon().log();
  EXPECT_EQ(checkVerdict(local->message), "pass") << local->message;
  EXPECT_EQ(bodyOf(local->message), bodyOf(plainMessage("down-local")));

  SmtpTransaction accepted = postfix().sendSmtp("alice@example.org", {"bob@down.test"}, smtpText);
  ASSERT_EQ(accepted.dataEnd.code, 250) << accepted.describe();
  std::optional<PostfixDelivery> smtp =
      postfix().waitForDelivery("bob@down.test", accepted.queueId);
  ASSERT_TRUE(smtp) << postfix().log();
  EXPECT_EQ(checkVerdict(smtp->message), "pass") << smtp->message;
  EXPECT_FALSE(queued(postfix().queue(), "bob@down-local.test", "maildrop"));
}

}  // namespace
}  // namespace tollbrook::testing
