// What Postfix 3.7 sends a milter, recorded by a milter built on the daemon's
// codec and asserted exactly, so that a Postfix upgrade that changes any of it
// fails here first: the negotiation, the order of the commands, the macros of
// each stage, the form of header values and body lines, and how Postfix
// applies the daemon's two header changes. One Postfix instance and one
// recording milter serve the whole binary; tests that need another
// configuration start an instance of their own.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/postfix_instance.h"
#include "tests/postfix_milter_recorder.h"

namespace tollbrook::testing {
namespace {

constexpr char kHostName[] = "mta.tollbrook.test";  // the instance's myhostname

// The shared instance: Postfix with smtpd_milters and non_smtpd_milters both
// pointing at the recording milter, started by the first test that uses it
// (ctest runs each test in a process of its own) and stopped when the binary
// ends.
class SharedPostfix : public ::testing::Environment {
 public:
  static void start() {
    if (postfix_) return;
    milter_ = std::make_unique<RecordingMilter>();
    postfix_ = std::make_unique<PostfixInstance>(
        PostfixOptions{milter_->address(), milter_->address(), {}});
  }
  // Postfix first: it holds connections to the milter.
  void TearDown() override {
    postfix_.reset();
    milter_.reset();
  }

  static RecordingMilter& milter() { return *milter_; }
  static PostfixInstance& postfix() { return *postfix_; }

 private:
  static inline std::unique_ptr<RecordingMilter> milter_;
  static inline std::unique_ptr<PostfixInstance> postfix_;
};

const auto* const kSharedPostfix = ::testing::AddGlobalTestEnvironment(new SharedPostfix);

// Tests that start instances of their own.
class PostfixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string reason = postfixUnavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
  }
};

// Tests on the shared instance.
class PostfixMilterRecord : public PostfixTest {
 protected:
  void SetUp() override {
    PostfixTest::SetUp();
    if (IsSkipped()) return;
    SharedPostfix::start();
    ASSERT_TRUE(milter().listening());
    ASSERT_TRUE(postfix().running()) << postfix().error();
  }
  static RecordingMilter& milter() { return SharedPostfix::milter(); }
  static PostfixInstance& postfix() { return SharedPostfix::postfix(); }
};

// True when `text` is `prefix`, one or more digits, `suffix`.
bool digitsAfter(std::string_view text, std::string_view prefix, std::string_view suffix) {
  if (!text.starts_with(prefix) || !text.ends_with(suffix)) return false;
  if (text.size() <= prefix.size() + suffix.size()) return false;
  std::string_view digits = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return digits.find_first_not_of("0123456789") == std::string_view::npos;
}

// "stage: name name ..." for each macro packet, in order.
std::vector<std::string> macroStages(const RecordedConnection& c) {
  std::vector<std::string> out;
  for (const MacroPacket& packet : c.macroPackets()) {
    std::string line(1, packet.stage);
    line += ":";
    for (const std::string& name : packet.names()) line += " " + name;
    out.push_back(line);
  }
  return out;
}

std::string macroValue(const RecordedConnection& c, char stage, std::string_view name) {
  std::optional<MacroPacket> packet = c.macrosAt(stage);
  return packet ? packet->value(name).value_or("<absent>") : "<no packet>";
}

// The connect packet: host name, family byte, port, address.
struct ConnectData {
  std::string host;
  char family = 0;
  uint16_t port = 0;
  std::string address;
};
ConnectData connectData(const RecordedConnection& c) {
  std::string data = c.dataOf('C').value_or("");
  ConnectData out;
  size_t nul = data.find('\0');
  if (nul == std::string::npos || data.size() < nul + 4) return out;
  out.host = data.substr(0, nul);
  out.family = data[nul + 1];
  out.port = static_cast<uint16_t>((static_cast<unsigned char>(data[nul + 2]) << 8) |
                                   static_cast<unsigned char>(data[nul + 3]));
  out.address = data.substr(nul + 4);
  if (!out.address.empty() && out.address.back() == '\0') out.address.pop_back();
  return out;
}

std::vector<std::string> headerNames(const RecordedConnection& c) {
  std::vector<std::string> out;
  for (const RawHeader& header : c.headers()) out.push_back(header.name);
  return out;
}

// The names of the delivered message's header fields, top to bottom.
std::vector<std::string> deliveredHeaderNames(const std::string& message) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < message.size() && message[at] != '\n') {
    size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    if (message[at] != ' ' && message[at] != '\t') {
      out.push_back(message.substr(at, message.find(':', at) - at));
    }
    at = end + 1;
  }
  return out;
}

const char kSmtpMessage[] =
    "From: sender@sender.test\n"
    "Subject: recorded\n"
    "X-Folded: first\n"
    "\tsecond\n"
    "X-Empty:\n"
    "X-Nospace:x\n"
    "\n"
    "line one\n"
    "line two\n";

TEST_F(PostfixMilterRecord, SmtpSessionCommandsAndMacrosPerStage) {
  SmtpTransaction t =
      postfix().sendSmtp("sender@sender.test", {"one@smtp-macros.test", "two@smtp-macros.test"},
                         kSmtpMessage, "client.test");
  ASSERT_EQ(t.dataEnd.code, 250) << t.describe();
  std::optional<RecordedConnection> c = milter().waitForConnection("@smtp-macros.test");
  ASSERT_TRUE(c);

  // Postfix 3.7 opens with version 6 and offers every action (0x1FF, up to
  // SMFIF_SETSYMLIST) and every protocol flag it knows (0x1FFFFF); the codec
  // keeps the two actions and the one flag the daemon offers.
  std::optional<OfferedOptions> offered = c->offered();
  ASSERT_TRUE(offered);
  EXPECT_EQ(offered->version, 6u);
  EXPECT_EQ(offered->actions, 0x1FFu);
  EXPECT_EQ(offered->protocolFlags, 0x1FFFFFu);
  EXPECT_EQ(c->negotiatedActions, 0x11u);
  EXPECT_EQ(c->negotiatedProtocolFlags, 0x100000u);

  // A macro packet before every command, even with nothing in it (helo); the
  // five header fields of the message plus the Message-Id and Date that
  // Postfix adds for a client on its own network; one body chunk; after end
  // of message two aborts, then quit.
  EXPECT_EQ(c->commands(), "ODCDHDMDRDRDTDLDLDLDLDLDLDLDNDBDEAAQ");

  // Only the default macro lists: no {client_addr} and no {client_name}
  // (they are not in milter_connect_macros), no queue id before the queue
  // file exists (it is opened after the first accepted recipient), no
  // {auth_type} without SMTP AUTH.
  std::vector<std::string> expected = {
      "C: j {daemon_name} {daemon_addr} v _",       "H:",
      "M: {mail_addr} {mail_host} {mail_mailer}",   "R: {rcpt_addr} {rcpt_host} {rcpt_mailer}",
      "R: i {rcpt_addr} {rcpt_host} {rcpt_mailer}", "T: i",
  };
  expected.insert(expected.end(), 7, "L: i");
  expected.insert(expected.end(), {"N: i", "B: i", "E: i"});
  EXPECT_EQ(macroStages(*c), expected);

  struct {
    char stage;
    const char* name;
    std::string value;
  } const values[] = {
      {'C', "j", kHostName},
      {'C', "{daemon_name}", kHostName},  // milter_macro_daemon_name = $myhostname
      {'C', "{daemon_addr}", "127.0.0.1"},
      {'C', "_", "unknown [127.0.0.1]"},  // smtpd_peername_lookup = no
      {'M', "{mail_addr}", "sender@sender.test"},
      {'M', "{mail_host}", "sender.test"},
      {'M', "{mail_mailer}", "capture"},  // the transport that will deliver
      {'R', "{rcpt_addr}", "two@smtp-macros.test"},
      {'R', "{rcpt_host}", "smtp-macros.test"},
      {'R', "{rcpt_mailer}", "capture"},
      {'R', "i", t.queueId},
      {'E', "i", t.queueId},
  };
  for (const auto& v : values) {
    EXPECT_EQ(macroValue(*c, v.stage, v.name), v.value) << v.stage << " " << v.name;
  }
  EXPECT_TRUE(digitsAfter(macroValue(*c, 'C', "v"), "Postfix 3.7.", ""))
      << macroValue(*c, 'C', "v");

  // The connect command names the client by its bracketed address when no
  // name was looked up; the port is the client's.
  ConnectData connect = connectData(*c);
  EXPECT_EQ(connect.host, "[127.0.0.1]");
  EXPECT_EQ(connect.family, '4');
  EXPECT_NE(connect.port, 0);
  EXPECT_EQ(connect.address, "127.0.0.1");
  EXPECT_EQ(c->dataOf('H'), std::string("client.test\0", 12));
  // Envelope addresses keep their angle brackets in the commands.
  EXPECT_EQ(c->dataOf('M'), std::string("<sender@sender.test>\0", 21));
  EXPECT_EQ(c->dataOf('R'), std::string("<one@smtp-macros.test>\0", 23));
  // Body lines end in CR LF.
  EXPECT_EQ(c->dataOf('B'), "line one\r\nline two\r\n");

  // What the codec made of it: the connection-level fields the daemon reads.
  EXPECT_FALSE(c->clientAddr) << "Postfix sent {client_addr} after all";
  EXPECT_FALSE(c->clientName);
  EXPECT_FALSE(c->authType);
  EXPECT_EQ(c->daemonName, kHostName);
  EXPECT_EQ(c->connectAddress, "127.0.0.1");
  EXPECT_EQ(c->connectFamily, '4');
  EXPECT_EQ(c->helo, "client.test");
  ASSERT_EQ(c->messages.size(), 1u);
  const StoredMessage& m = c->messages[0];
  EXPECT_EQ(m.queueId, t.queueId);
  EXPECT_EQ(m.mailAddr, "sender@sender.test");
  EXPECT_EQ(m.rcptAddr, "two@smtp-macros.test");  // the last recipient's
  EXPECT_EQ(m.envelopeSender, "<sender@sender.test>");
  EXPECT_EQ(m.recipients,
            (std::vector<std::string>{"<one@smtp-macros.test>", "<two@smtp-macros.test>"}));
}

TEST_F(PostfixMilterRecord, HeaderValuesArriveWithTheLeadingSpaceAndLfFolds) {
  SmtpTransaction t =
      postfix().sendSmtp("sender@sender.test", {"rcpt@smtp-headers.test"}, kSmtpMessage);
  ASSERT_EQ(t.dataEnd.code, 250) << t.describe();
  std::optional<RecordedConnection> c = milter().waitForConnection("@smtp-headers.test");
  ASSERT_TRUE(c);

  // With SMFIP_HDR_LEADSPC agreed, every byte after the colon, as received;
  // a fold is a bare LF before the tab (Postfix's queue file form). Postfix's
  // own Received field is not sent at all; the fields it adds are sent last.
  struct {
    const char* name;
    std::string raw;
    std::string stored;
    bool leadingSpace;
  } const expected[] = {
      {"From", " sender@sender.test", "sender@sender.test", true},
      {"Subject", " recorded", "recorded", true},
      {"X-Folded", " first\n\tsecond", "first\r\n\tsecond", true},
      {"X-Empty", "", "", false},
      {"X-Nospace", "x", "x", false},
  };
  std::vector<RawHeader> raw = c->headers();
  ASSERT_EQ(raw.size(), 7u);
  ASSERT_EQ(c->messages.size(), 1u);
  const std::vector<StoredHeader>& stored = c->messages[0].headers;
  ASSERT_EQ(stored.size(), 7u);
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(raw[i].name, expected[i].name);
    EXPECT_EQ(raw[i].value, expected[i].raw) << expected[i].name;
    EXPECT_EQ(stored[i].value, expected[i].stored) << expected[i].name;
    EXPECT_EQ(stored[i].leadingSpace, expected[i].leadingSpace) << expected[i].name;
  }
  EXPECT_EQ(raw[5].name, "Message-Id");
  // <date and time as 14 digits . queue id @ myhostname>
  EXPECT_TRUE(digitsAfter(raw[5].value, " <", "." + t.queueId + "@" + std::string(kHostName) + ">"))
      << raw[5].value;
  EXPECT_EQ(raw[6].name, "Date");

  // The delivered message: Postfix's Received on top, then the fields in the
  // order the milter saw them, the fold as it came.
  std::optional<PostfixDelivery> d = postfix().waitForDelivery("rcpt@smtp-headers.test", t.queueId);
  ASSERT_TRUE(d);
  EXPECT_EQ(deliveredHeaderNames(d->message),
            (std::vector<std::string>{"Received", "From", "Subject", "X-Folded", "X-Empty",
                                      "X-Nospace", "Message-Id", "Date"}));
  EXPECT_NE(d->message.find("\nX-Folded: first\n\tsecond\nX-Empty:\nX-Nospace:x\n"),
            std::string::npos)
      << d->message;
  EXPECT_EQ(d->sender, "sender@sender.test");
}

TEST_F(PostfixMilterRecord, LocalSubmissionThroughNonSmtpdMilters) {
  ProgramRun run = postfix().submit("local@sender.test", {"rcpt@local-macros.test"},
                                    "Subject: local\n\nhello\n");
  ASSERT_EQ(run.status, 0) << run.err;
  std::optional<RecordedConnection> c = milter().waitForConnection("@local-macros.test");
  ASSERT_TRUE(c);

  std::optional<OfferedOptions> offered = c->offered();
  ASSERT_TRUE(offered);
  EXPECT_EQ(offered->version, 6u);
  EXPECT_EQ(offered->actions, 0x1FFu);
  EXPECT_EQ(offered->protocolFlags, 0x1FFFFFu);

  // cleanup speaks for the local submission: one connection per message, no
  // abort before quit. The queue id exists from the start.
  EXPECT_EQ(c->commands(), "ODCDHDMDRDTDLDLDLDLDNDBDEQ");
  std::vector<std::string> expected = {"C: j {daemon_name} {daemon_addr} v _",
                                       "H:", "M: i {mail_addr}", "R: i {rcpt_addr}", "T: i"};
  expected.insert(expected.end(), 4, "L: i");
  expected.insert(expected.end(), {"N: i", "B: i", "E: i"});
  EXPECT_EQ(macroStages(*c), expected);
  EXPECT_EQ(macroValue(*c, 'C', "_"), "localhost [127.0.0.1]");
  EXPECT_EQ(macroValue(*c, 'C', "{daemon_name}"), kHostName);
  EXPECT_EQ(macroValue(*c, 'M', "{mail_addr}"), "local@sender.test");
  EXPECT_EQ(macroValue(*c, 'R', "{rcpt_addr}"), "rcpt@local-macros.test");

  // There is no client, yet the connect command names one: localhost at
  // 127.0.0.1, port 0; the helo is "localhost" and the envelope comes
  // without angle brackets.
  ConnectData connect = connectData(*c);
  EXPECT_EQ(connect.host, "localhost");
  EXPECT_EQ(connect.family, '4');
  EXPECT_EQ(connect.port, 0);
  EXPECT_EQ(connect.address, "127.0.0.1");
  EXPECT_EQ(c->dataOf('H'), std::string("localhost\0", 10));
  EXPECT_EQ(c->dataOf('M'), std::string("local@sender.test\0", 18));
  EXPECT_EQ(c->dataOf('R'), std::string("rcpt@local-macros.test\0", 23));

  EXPECT_FALSE(c->clientAddr);
  EXPECT_EQ(c->connectAddress, "127.0.0.1");
  EXPECT_EQ(headerNames(*c), (std::vector<std::string>{"Subject", "Message-Id", "Date", "From"}));
  ASSERT_EQ(c->messages.size(), 1u);
  ASSERT_TRUE(c->messages[0].queueId);

  std::optional<PostfixDelivery> d =
      postfix().waitForDelivery("rcpt@local-macros.test", *c->messages[0].queueId);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->sender, "local@sender.test");
  EXPECT_EQ(deliveredHeaderNames(d->message),
            (std::vector<std::string>{"Received", "Subject", "Message-Id", "Date", "From"}));
}

// The two header changes the daemon makes, as Postfix applies them: an insert
// at index 0 lands above everything, Postfix's own Received field included;
// a change with an empty value deletes the nth field of that name counted
// among the fields the milter saw (Postfix's Received is not one of them).
TEST_F(PostfixMilterRecord, InsertAtZeroAndDeleteByOrdinal) {
  const char message[] =
      "Received: from upstream.test by relay.test; Thu, 1 Jan 2026 00:00:00 +0000\n"
      "From: sender@sender.test\n"
      "X-Dup: one\n"
      "X-Dup: two\n"
      "X-Dup: three\n"
      "\n"
      "body\n";
  struct Case {
    const char* name;
    std::vector<HeaderEdit> edits;
    std::vector<std::string> names;  // of the delivered message, top to bottom
    std::string contains;            // a piece of the delivered header block
  } const cases[] = {
      {"insert at 0, folded value",
       {{'i', 0, "X-Top", "inserted\r\n\tfolded"}},
       {"X-Top", "Received", "Received", "From", "X-Dup", "X-Dup", "X-Dup", "Message-Id", "Date"},
       "X-Top: inserted\n\tfolded\nReceived: from client.test"},
      {"delete the second of three",
       {{'m', 2, "X-Dup", ""}},
       {"Received", "Received", "From", "X-Dup", "X-Dup", "Message-Id", "Date"},
       "X-Dup: one\nX-Dup: three\n"},
      {"delete Received 1: the upstream one",
       {{'m', 1, "Received", ""}},
       {"Received", "From", "X-Dup", "X-Dup", "X-Dup", "Message-Id", "Date"},
       "Received: from client.test"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string recipient = "rcpt" + std::to_string(n++) + "@smtp-edits.test";
    milter().editHeadersFor(recipient, c.edits);
    SmtpTransaction t = postfix().sendSmtp("sender@sender.test", {recipient}, message);
    ASSERT_EQ(t.dataEnd.code, 250) << t.describe();
    std::optional<PostfixDelivery> d = postfix().waitForDelivery(recipient, t.queueId);
    ASSERT_TRUE(d);
    EXPECT_EQ(deliveredHeaderNames(d->message), c.names) << d->message;
    EXPECT_NE(d->message.find(c.contains), std::string::npos) << d->message;
    EXPECT_EQ(d->message.find("upstream.test") == std::string::npos, c.edits[0].name == "Received")
        << d->message;
  }

  // The same insert on a locally submitted message.
  milter().editHeadersFor("rcpt@local-edits.test", {{'i', 0, "X-Top", "inserted"}});
  ProgramRun run = postfix().submit("local@sender.test", {"rcpt@local-edits.test"}, message);
  ASSERT_EQ(run.status, 0) << run.err;
  std::optional<PostfixDelivery> d = postfix().waitForDelivery("rcpt@local-edits.test");
  ASSERT_TRUE(d);
  std::vector<std::string> names = deliveredHeaderNames(d->message);
  ASSERT_GE(names.size(), 3u) << d->message;
  EXPECT_EQ(names[0], "X-Top") << d->message;
  EXPECT_EQ(names[1], "Received") << d->message;
  EXPECT_NE(d->message.find("\nReceived: by mta.tollbrook.test (Postfix, from userid 0)\n"),
            std::string::npos)
      << d->message;
}

// {client_addr} and {client_name} arrive only when milter_connect_macros
// names them; the daemon's own client address otherwise comes from the
// connect command.
TEST_F(PostfixTest, ClientMacrosOnceConfigured) {
  RecordingMilter own;
  ASSERT_TRUE(own.listening());
  PostfixInstance instance({own.address(), "", {}});
  ASSERT_TRUE(instance.running()) << instance.error();
  SmtpTransaction before =
      instance.sendSmtp("sender@sender.test", {"rcpt@default-macros.test"}, "Subject: x\n\nbody\n");
  ASSERT_EQ(before.dataEnd.code, 250) << before.describe();
  std::optional<RecordedConnection> c = own.waitForConnection("@default-macros.test");
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->clientAddr);

  ASSERT_TRUE(instance.reconfigure(
      {{"milter_connect_macros", "j {daemon_name} {daemon_addr} v _ {client_addr} {client_name}"},
       {"milter_mail_macros", "i {auth_type} {mail_addr}"}}))
      << instance.error();
  SmtpTransaction after =
      instance.sendSmtp("sender@sender.test", {"rcpt@client-macros.test"}, "Subject: x\n\nbody\n");
  ASSERT_EQ(after.dataEnd.code, 250) << after.describe();
  c = own.waitForConnection("@client-macros.test");
  ASSERT_TRUE(c);
  std::vector<std::string> stages = macroStages(*c);
  ASSERT_GE(stages.size(), 3u);
  EXPECT_EQ(stages[0], "C: j {daemon_name} {daemon_addr} v _ {client_addr} {client_name}");
  // Without an authenticated session {auth_type} is left out, not sent empty.
  EXPECT_EQ(stages[2], "M: {mail_addr}");
  EXPECT_EQ(c->clientAddr, "127.0.0.1");
  EXPECT_EQ(c->clientName, "unknown");
  EXPECT_TRUE(instance.waitForDelivery("rcpt@client-macros.test", after.queueId));
}

// With the milter down and milter_default_action = tempfail, Postfix answers
// SMTP with 451 at MAIL FROM (the rejects of the connect and helo stages wait
// until then) and keeps a locally submitted message in the maildrop queue;
// once the milter is back, a flush delivers it and a new SMTP attempt goes
// through. Nothing is lost.
TEST_F(PostfixTest, MilterDownTempfailsAndLosesNothing) {
  uint16_t port = pickFreeTcpPort();
  ASSERT_NE(port, 0);
  std::string address = "inet:127.0.0.1:" + std::to_string(port);
  PostfixInstance instance({address, address, {}});
  ASSERT_TRUE(instance.running()) << instance.error();

  SmtpTransaction refused =
      instance.sendSmtp("sender@sender.test", {"rcpt@down.test"}, "Subject: smtp\n\nbody\n");
  EXPECT_EQ(refused.ehlo.code, 250) << refused.describe();
  EXPECT_EQ(refused.mail.code, 451) << refused.describe();
  EXPECT_EQ(refused.mail.text(), "451 4.7.1 Service unavailable - try again later");
  EXPECT_TRUE(refused.queueId.empty());

  ProgramRun run =
      instance.submit("local@sender.test", {"local@down.test"}, "Subject: local\n\nhello\n");
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(instance.waitForLog("milter-reject: CONNECT from localhost[127.0.0.1]: 4.7.1"))
      << instance.log();
  std::vector<PostfixQueueEntry> queue = instance.queue();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].queueName, "maildrop");
  EXPECT_EQ(queue[0].sender, "local@sender.test");
  EXPECT_EQ(queue[0].recipients, std::vector<std::string>{"local@down.test"});
  EXPECT_TRUE(instance.deliveries().empty());

  RecordingMilter back(port);
  ASSERT_TRUE(back.listening());
  ASSERT_TRUE(instance.flush());
  std::optional<PostfixDelivery> local = instance.waitForDelivery("local@down.test");
  ASSERT_TRUE(local) << instance.log();
  EXPECT_NE(local->message.find("Subject: local\n"), std::string::npos);
  SmtpTransaction accepted =
      instance.sendSmtp("sender@sender.test", {"rcpt@down.test"}, "Subject: smtp\n\nbody\n");
  ASSERT_EQ(accepted.dataEnd.code, 250) << accepted.describe();
  EXPECT_TRUE(instance.waitForDelivery("rcpt@down.test", accepted.queueId)) << instance.log();
  EXPECT_TRUE(instance.queue().empty());
}

}  // namespace
}  // namespace tollbrook::testing
