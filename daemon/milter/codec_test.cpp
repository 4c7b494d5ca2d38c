#include "daemon/milter/codec.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "daemon/milter/body_handler.h"
#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using testing::show;
using namespace std::string_literals;

std::string word(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

// One packet as it travels in either direction.
std::string packet(char code, std::string_view data = {}) {
  return word(static_cast<uint32_t>(data.size() + 1)) + code + std::string(data);
}

// Texts joined with a NUL after each.
std::string nuls(std::initializer_list<std::string_view> texts) {
  std::string out;
  for (std::string_view text : texts) out.append(text).push_back('\0');
  return out;
}

std::string negotiation(uint32_t actions, uint32_t flags) {
  return word(6) + word(actions) + word(flags);
}

// What the handlers of a test saw, in order.
struct Calls {
  std::vector<std::string> seen;
  char eomCode = 'a';
};

Calls& calls(void* context) {
  return *static_cast<Calls*>(context);
}

// A handler table that records every call in `log`.
MilterHandlers recordingHandlers(Calls& log) {
  MilterHandlers handlers;
  handlers.context = &log;
  handlers.connect = [](void* c, MilterConnection&, const ConnectInfo& info) {
    calls(c).seen.push_back("connect " + std::string(info.hostName) + " " + info.family + " " +
                            std::to_string(info.port) + " " + std::string(info.address));
    return 'c';
  };
  handlers.helo = [](void* c, MilterConnection&, std::string_view name) {
    calls(c).seen.push_back("helo " + std::string(name));
    return 'c';
  };
  handlers.envfrom = [](void* c, MilterConnection&, std::string_view arguments) {
    calls(c).seen.push_back("envfrom " + show(arguments));
    return 'c';
  };
  handlers.envrcpt = [](void* c, MilterConnection&, std::string_view arguments) {
    calls(c).seen.push_back("envrcpt " + show(arguments));
    return 'c';
  };
  handlers.header = [](void* c, MilterConnection&, std::string_view name, std::string_view value) {
    calls(c).seen.push_back("header " + std::string(name) + "=" + show(value));
    return 'c';
  };
  handlers.eoh = [](void* c, MilterConnection&) {
    calls(c).seen.push_back("eoh");
    return 'c';
  };
  handlers.body = [](void* c, MilterConnection&, std::string_view chunk) {
    calls(c).seen.push_back("body " + std::string(chunk));
    return 'c';
  };
  handlers.eom = [](void* c, MilterConnection&) {
    calls(c).seen.push_back("eom");
    return calls(c).eomCode;
  };
  handlers.abort = [](void* c, MilterConnection&) { calls(c).seen.push_back("abort"); };
  handlers.headerLimitTempfail = [](void* c, MilterConnection& connection) {
    calls(c).seen.push_back("header limit tempfail " +
                            std::to_string(connection.message.headers.size()));
  };
  return handlers;
}

// The codec on one connection, driven as the worker drives it; the peer reads
// every reply at once (takeReplies).
struct Conversation {
  Conversation() = default;
  explicit Conversation(const MilterHandlers& table) : handlers(table) {}

  MilterConnection connection;
  MilterHandlers handlers;

  // Appends the bytes and dispatches every complete packet; returns the
  // framing error that ended the input, if any.
  std::optional<Error> feed(std::string_view bytes) {
    EXPECT_TRUE(appendInput(connection, bytes));
    return dispatchInput();
  }

  // Dispatches every complete packet of the input buffer.
  std::optional<Error> dispatchInput() {
    for (;;) {
      Result<std::optional<Packet>> next = nextPacket(connection);
      if (!next) return next.error();
      if (!*next) return std::nullopt;
      dispatchPacket(handlers, connection, **next);
      if (connection.closeRequested) return std::nullopt;
      consumePacket(connection);
    }
  }

  std::string takeReplies() {
    std::string replies(unwrittenReplies(connection));
    markRepliesWritten(connection, replies.size());
    return replies;
  }
};

// Captures standard error (where the test binary's log lines go) for a scope.
class LogCapture {
 public:
  LogCapture() { ::testing::internal::CaptureStderr(); }
  ~LogCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  std::string take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

// ------------------------------------------------------------------ framing

TEST(Framing, EveryPacketIsDispatchedOnceInOrderHoweverTheBytesArrive) {
  const std::string stream =
      packet('B', "one") + packet('B', "two") + packet('N') + packet('B', std::string(300, 'x'));
  const std::vector<std::string> want = {"body one", "body two", "eoh",
                                         "body " + std::string(300, 'x')};
  for (size_t pieceSize : {stream.size(), size_t{1}, size_t{3}, size_t{5}, size_t{9}, size_t{64}}) {
    Calls log;
    Conversation conversation(recordingHandlers(log));
    for (size_t at = 0; at < stream.size(); at += pieceSize) {
      ASSERT_EQ(conversation.feed(std::string_view(stream).substr(at, pieceSize)), std::nullopt);
    }
    EXPECT_EQ(log.seen, want) << "pieces of " << pieceSize;
    EXPECT_EQ(conversation.takeReplies(), packet('c') + packet('c') + packet('c') + packet('c'))
        << "pieces of " << pieceSize;
    EXPECT_TRUE(conversation.connection.input.empty()) << "pieces of " << pieceSize;
  }
}

TEST(Framing, LengthWordMustLieBetweenOneAndOneMebibyte) {
  struct Case {
    uint32_t length;
    bool tooLarge;
  } cases[] = {{0, true}, {1, false}, {0x100000, false}, {0x100001, true}, {0xFFFFFFFF, true}};
  for (const Case& c : cases) {
    MilterConnection connection;
    ASSERT_TRUE(appendInput(connection, word(c.length) + 'B'));
    Result<std::optional<Packet>> next = nextPacket(connection);
    if (c.tooLarge) {
      EXPECT_FALSE(next.has_value()) << "length " << c.length;
      if (!next) {
        EXPECT_EQ(next.error(), Error::PacketTooLarge) << "length " << c.length;
      }
      continue;
    }
    ASSERT_TRUE(next.has_value()) << "length " << c.length;
    if (c.length > 1) {
      EXPECT_EQ(*next, std::nullopt) << "length " << c.length << ": must wait for the data";
      ASSERT_TRUE(appendInput(connection, std::string(c.length - 1, 'x')));
      next = nextPacket(connection);
    }
    ASSERT_TRUE(next.has_value() && next->has_value()) << "length " << c.length;
    EXPECT_EQ((*next)->command, 'B');
    EXPECT_EQ((*next)->data.size(), c.length - 1);
  }
}

TEST(Framing, ADrainedLargeInputBufferIsReleased) {
  MilterConnection connection;
  ASSERT_TRUE(appendInput(connection, packet('B', std::string((1 << 20) - 1, 'x'))));
  ASSERT_TRUE(nextPacket(connection).value().has_value());
  consumePacket(connection);
  EXPECT_LE(connection.input.capacity(), 128u * 1024);
}

// ------------------------------------------------------------ the commands

TEST(Dispatch, EveryCommandGetsItsReply) {
  struct Case {
    std::string what;
    std::string packets;
    std::string wantReplies;
    bool wantClose = false;
  } cases[] = {
      {"negotiation, everything offered", packet('O', negotiation(0x1FF, 0x1FFFFF)),
       packet('O', word(6) + word(0x11) + word(0x100000))},
      {"negotiation, add only", packet('O', negotiation(0x01, 0)),
       packet('O', word(6) + word(0x01) + word(0))},
      {"negotiation, later version and more data",
       packet('O', word(99) + word(0x10) + word(0x100000) + "extra"),
       packet('O', word(6) + word(0x10) + word(0x100000))},
      {"negotiation too short", packet('O', std::string(11, '\0')), "", true},
      {"connect", packet('C', nuls({"mail.example.org"}) + "4\x01\xbb" + nuls({"192.0.2.1"})),
       packet('c')},
      {"helo", packet('H', nuls({"mail.example.org"})), packet('c')},
      {"envfrom", packet('M', nuls({"<a@example.org>", "SIZE=10"})), packet('c')},
      {"envrcpt", packet('R', nuls({"<b@example.org>"})), packet('c')},
      {"header", packet('L', nuls({"Subject", " hi"})), packet('c')},
      {"end of headers", packet('N'), packet('c')},
      {"body", packet('B', "text\r\n"), packet('c')},
      {"end of message", packet('E'), packet('a')},
      {"abort", packet('A'), ""},
      {"quit, new connection follows", packet('K'), ""},
      {"quit", packet('Q'), "", true},
      {"macros", packet('D', "C" + nuls({"j", "mx"})), ""},
      {"data", packet('T'), packet('c')},
      {"unknown SMTP command", packet('U', nuls({"XFOO bar"})), packet('c')},
      {"unknown code", packet('z', "?"), packet('c')},
      {"quit stops the input", packet('Q') + packet('N'), "", true},
  };
  for (const Case& c : cases) {
    Conversation conversation;
    ASSERT_EQ(conversation.feed(c.packets), std::nullopt) << c.what;
    EXPECT_EQ(show(conversation.takeReplies()), show(c.wantReplies)) << c.what;
    EXPECT_EQ(conversation.connection.closeRequested, c.wantClose) << c.what;
  }
}

TEST(Dispatch, HandlersReceiveTheCommandsAndAnswerForThem) {
  Calls log;
  log.eomCode = 't';
  Conversation conversation(recordingHandlers(log));
  conversation.handlers.header = [](void* c, MilterConnection&, std::string_view name,
                                    std::string_view value) {
    calls(c).seen.push_back("header " + std::string(name) + "=" + show(value));
    return 'r';
  };
  const std::string stream =
      packet('O', negotiation(0x1FF, 0x1FFFFF)) +
      packet('C', nuls({"mail.example.org"}) + "6\x12\x34" + "2001:db8::1") +
      packet('H', "mail.example.org") + packet('M', nuls({"<a@example.org>", "BODY=8BITMIME"})) +
      packet('R', nuls({"<b@example.org>"})) + packet('L', nuls({"Subject", " x\n\ty"})) +
      packet('N') + packet('B', "body") + packet('E') + packet('A');
  ASSERT_EQ(conversation.feed(stream), std::nullopt);
  const std::vector<std::string> want = {
      "connect mail.example.org 6 4660 2001:db8::1",
      "helo mail.example.org",
      "envfrom " + show(nuls({"<a@example.org>", "BODY=8BITMIME"})),
      "envrcpt " + show(nuls({"<b@example.org>"})),
      "header Subject=" + show("x\n\ty"),
      "eoh",
      "body body",
      "eom",
      "abort",
  };
  EXPECT_EQ(log.seen, want);
  EXPECT_EQ(
      show(conversation.takeReplies()),
      show(packet('O', word(6) + word(0x11) + word(0x100000)) + packet('c') + packet('c') +
           packet('c') + packet('c') + packet('r') + packet('c') + packet('c') + packet('t')));
}

TEST(Dispatch, ConnectDataIsStoredOnlyWhenWhole) {
  struct Case {
    std::string data;
    std::optional<std::string> wantAddress;
    char wantFamily;
  } cases[] = {
      {nuls({"host"}) + "4\x00\x19"s + nuls({"192.0.2.1"}), "192.0.2.1", '4'},
      {nuls({"host"}) + "6\x00\x19"s + "2001:db8::2", "2001:db8::2", '6'},
      {nuls({"host"}) + "L\x00\x00"s + nuls({"/var/run/mta.sock"}), "/var/run/mta.sock", 'L'},
      {nuls({"host"}) + "X\x00\x00"s + nuls({"somewhere"}), "somewhere", 'U'},
      {nuls({"host"}) + "4\x00\x19"s, "", '4'},   // no address text
      {nuls({"host"}) + "U", std::nullopt, 'U'},  // unknown family, nothing after it
      {nuls({"host"}) + "4\x00"s, std::nullopt, 'U'},
      {"host without nul 4\x00\x19"s, std::nullopt, 'U'},
  };
  for (const Case& c : cases) {
    Conversation conversation;
    ASSERT_EQ(conversation.feed(packet('C', c.data)), std::nullopt);
    EXPECT_EQ(conversation.takeReplies(), packet('c')) << show(c.data);
    EXPECT_EQ(conversation.connection.connectAddress, c.wantAddress) << show(c.data);
    EXPECT_EQ(conversation.connection.connectFamily, c.wantFamily) << show(c.data);
  }
}

TEST(Dispatch, EnvelopeAndHeloKeepTheirFirstArgument) {
  Conversation conversation;
  ASSERT_EQ(conversation.feed(packet('H', nuls({"first"})) + packet('H', "second") +
                              packet('M', nuls({"<a@example.org>", "SIZE=1"})) +
                              packet('R', nuls({"<b@example.org>", "NOTIFY=NEVER"})) +
                              packet('R', nuls({"<c@example.org>"})) + packet('M')),
            std::nullopt);
  const MilterConnection& connection = conversation.connection;
  EXPECT_EQ(connection.helo, "second");
  EXPECT_EQ(connection.message.envelopeSender, "");  // the last envfrom had no argument
  EXPECT_EQ(connection.message.recipients,
            (std::vector<std::string>{"<b@example.org>", "<c@example.org>"}));
}

TEST(Macros, RecognisedNamesFillTheirFieldsInBothSpellings) {
  struct Case {
    std::string data;
    std::optional<std::string> MilterConnection::*connectionField = nullptr;
    std::optional<std::string> MilterMessage::*messageField = nullptr;
    std::optional<std::string> want;
  } cases[] = {
      {"C" + nuls({"{daemon_name}", "mx-in"}), &MilterConnection::daemonName, nullptr, "mx-in"},
      {"C" + nuls({"daemon_name", "mx-in"}), &MilterConnection::daemonName, nullptr, "mx-in"},
      {"C" + nuls({"{client_addr}", "192.0.2.1"}), &MilterConnection::clientAddr, nullptr,
       "192.0.2.1"},
      {"C" + nuls({"client_name", "mail.example.org"}), &MilterConnection::clientName, nullptr,
       "mail.example.org"},
      {"M" + nuls({"{auth_type}", "PLAIN"}), &MilterConnection::authType, nullptr, "PLAIN"},
      {"M" + nuls({"{mail_addr}", "a@example.org"}), nullptr, &MilterMessage::mailAddr,
       "a@example.org"},
      {"R" + nuls({"rcpt_addr", "b@example.org"}), nullptr, &MilterMessage::rcptAddr,
       "b@example.org"},
      {"E" + nuls({"i", "4Xb9Zq"}), nullptr, &MilterMessage::queueId, "4Xb9Zq"},
      {"E" + nuls({"{i}", "4Xb9Zq"}), nullptr, &MilterMessage::queueId, std::nullopt},
      {"C" + nuls({"{Daemon_Name}", "mx"}), &MilterConnection::daemonName, nullptr, std::nullopt},
      {"C" + nuls({"j", "mx", "{daemon_name}", "second"}), &MilterConnection::daemonName, nullptr,
       "second"},
      {"C" + nuls({"{daemon_name}", "one", "{daemon_name}", "two"}), &MilterConnection::daemonName,
       nullptr, "two"},
      {"C" + nuls({"{daemon_name}"}) + "to the end", &MilterConnection::daemonName, nullptr,
       "to the end"},
      {"C" + nuls({"{daemon_name}"}), &MilterConnection::daemonName, nullptr, ""},
      {"C" + nuls({"j", "mx"}) + "{daemon_name}", &MilterConnection::daemonName, nullptr,
       std::nullopt},  // a name without its NUL ends the packet
      {"C{daemon_name}", &MilterConnection::daemonName, nullptr, std::nullopt},
      {"", &MilterConnection::daemonName, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    Conversation conversation;
    ASSERT_EQ(conversation.feed(packet('D', c.data)), std::nullopt);
    EXPECT_EQ(conversation.takeReplies(), "") << show(c.data);
    const MilterConnection& connection = conversation.connection;
    std::optional<std::string> got =
        c.connectionField ? connection.*c.connectionField : connection.message.*c.messageField;
    EXPECT_EQ(got, c.want) << "macros " << show(c.data);
  }
}

TEST(Macros, AFailedCopyStopsThePacketAndKeepsTheOldValue) {
  const std::string name(100, 'n'), address(100, 'a');
  const std::string data = "C" + nuls({"{daemon_name}", name, "{client_addr}", address});
  for (int64_t k = 0;; ++k) {
    MilterConnection connection;
    connection.daemonName = "old";
    bool failed;
    {
      testing::ScopedAllocationFailure guard(k);
      dispatchPacket(MilterHandlers{}, connection, Packet{'D', data});
      failed = testing::failedAllocations() > 0;
    }
    if (!failed) {
      EXPECT_EQ(connection.daemonName, name);
      EXPECT_EQ(connection.clientAddr, address);
      break;
    }
    if (connection.daemonName == "old") {
      EXPECT_EQ(connection.clientAddr, std::nullopt) << "allocation " << k;
    } else {
      EXPECT_EQ(connection.daemonName, name) << "allocation " << k;
      EXPECT_EQ(connection.clientAddr, std::nullopt) << "allocation " << k;
    }
  }
}

// ------------------------------------------- connection and message state

TEST(MessageState, EndOfMessageEndsTheMessageButNotTheConnection) {
  Conversation conversation;
  conversation.handlers.body = handleBodyChunkSlot;
  ASSERT_EQ(conversation.feed(
                packet('O', negotiation(0x1FF, 0x1FFFFF)) +
                packet('D', "C" + nuls({"{daemon_name}", "mx-in", "{client_addr}", "192.0.2.1"})) +
                packet('C', nuls({"mail.example.org"}) + "4\x01\xbb" + nuls({"192.0.2.1"})) +
                packet('H', nuls({"mail.example.org"})) +
                packet('D', "M" + nuls({"i", "4Xb9Zq", "{mail_addr}", "a@example.org"})) +
                packet('M', nuls({"<a@example.org>"})) +
                packet('D', "R" + nuls({"{rcpt_addr}", "b@example.org"})) +
                packet('R', nuls({"<b@example.org>"})) + packet('L', nuls({"Subject", " hi"})) +
                packet('N') + packet('B', "body\r\n")),
            std::nullopt);
  MilterConnection& connection = conversation.connection;
  ASSERT_EQ(connection.message.headers.size(), 1u);
  ASSERT_EQ(connection.message.body, "body\r\n");

  ASSERT_EQ(conversation.feed(packet('E')), std::nullopt);
  const MilterMessage& message = connection.message;
  EXPECT_EQ(message.mailAddr, std::nullopt);
  EXPECT_EQ(message.rcptAddr, std::nullopt);
  EXPECT_EQ(message.queueId, std::nullopt);
  EXPECT_EQ(message.envelopeSender, std::nullopt);
  EXPECT_TRUE(message.recipients.empty() && message.headers.empty() && message.body.empty());
  EXPECT_EQ(connection.daemonName, "mx-in");
  EXPECT_EQ(connection.clientAddr, "192.0.2.1");
  EXPECT_EQ(connection.helo, "mail.example.org");
  EXPECT_EQ(connection.connectAddress, "192.0.2.1");
  EXPECT_EQ(connection.connectFamily, '4');
  EXPECT_EQ(connection.negotiatedActions, 0x11u);
  EXPECT_EQ(connection.negotiatedProtocolFlags, 0x100000u);
}

TEST(MessageState, AbortAndNewConnectionEndTheMessageWithoutReply) {
  for (char command : {'A', 'K'}) {
    Conversation conversation;
    ASSERT_EQ(conversation.feed(packet('D', "M" + nuls({"i", "Q1"})) +
                                packet('L', nuls({"Subject", "x"})) + packet('B', "b")),
              std::nullopt);
    conversation.takeReplies();
    ASSERT_EQ(conversation.feed(packet(command)), std::nullopt);
    EXPECT_EQ(conversation.takeReplies(), "") << command;
    EXPECT_EQ(conversation.connection.message.queueId, std::nullopt) << command;
    EXPECT_TRUE(conversation.connection.message.headers.empty()) << command;
    EXPECT_TRUE(conversation.connection.message.body.empty()) << command;
  }
}

TEST(HeaderLimits, MaxHeadersTwoTempfailsTheMessageAndTheNextStartsClean) {
  Calls log;
  Conversation conversation(recordingHandlers(log));
  MilterConnection& connection = conversation.connection;
  connection.limits = {0, 2, 1000};
  connection.setPeerLabel("192.0.2.7");
  ASSERT_EQ(conversation.feed(packet('D', "C" + nuls({"{daemon_name}", "mx in"}))), std::nullopt);

  LogCapture capture;
  ASSERT_EQ(conversation.feed(packet('L', nuls({"A", "1"})) + packet('L', nuls({"B", "22"})) +
                              packet('L', nuls({"C", "3"})) + packet('L', nuls({"D", "4"})) +
                              packet('E')),
            std::nullopt);
  std::string lines = capture.take();
  EXPECT_EQ(lines,
            "kestrelvault[0]: header limit reached (2 headers, 5 bytes) from mx_in[192.0.2.7]: "
            "message will not be authenticated\n"
            "kestrelvault[0]: tempfail: header block from mx_in[192.0.2.7] exceeded "
            "MaxHeaders=2/MaxHeaderBytes=1000 and could not be inspected in full\n");
  EXPECT_EQ(conversation.takeReplies(),
            packet('c') + packet('c') + packet('c') + packet('c') + packet('t'));
  EXPECT_EQ(std::count(log.seen.begin(), log.seen.end(), "eom"), 0);
  // The daemon hears of the tempfail (to write its result line) while the
  // message is still there, once.
  EXPECT_EQ(std::count(log.seen.begin(), log.seen.end(), "header limit tempfail 2"), 1);

  ASSERT_EQ(conversation.feed(packet('L', nuls({"A", "1"})) + packet('E')), std::nullopt);
  EXPECT_EQ(conversation.takeReplies(), packet('c') + packet('a'));
  EXPECT_EQ(std::count(log.seen.begin(), log.seen.end(), "eom"), 1);
  EXPECT_EQ(std::count_if(log.seen.begin(), log.seen.end(),
                          [](const std::string& call) { return call.starts_with("header limit"); }),
            1);
}

TEST(HeaderLimits, AHeaderWithoutNulIsAnsweredAndNotStored) {
  Conversation conversation;
  ASSERT_EQ(conversation.feed(packet('L', "Subject: no nul")), std::nullopt);
  EXPECT_EQ(conversation.takeReplies(), packet('c'));
  EXPECT_TRUE(conversation.connection.message.headers.empty());
}

TEST(HeaderValues, BareLineFeedsAreStoredAsCrLf) {
  struct Case {
    std::string sent;  // the value as the MTA sends it, after the leading space
    std::string want;
  } cases[] = {
      {" first\n\tsecond", "first\r\n\tsecond"},
      {" first\r\n\tsecond", "first\r\n\tsecond"},
      {" a\n b\n\tc", "a\r\n b\r\n\tc"},
      {" lone\rcr", "lone\rcr"},
      {" cr then\r\n\tlf\n\tmixed", "cr then\r\n\tlf\r\n\tmixed"},
      {"\n\tstarts folded", "\r\n\tstarts folded"},
      {" plain", "plain"},
  };
  for (const Case& c : cases) {
    Conversation conversation;
    conversation.connection.negotiatedProtocolFlags = kSmfipHdrLeadSpc;
    ASSERT_EQ(conversation.feed(packet('L', nuls({"Subject", c.sent}))), std::nullopt);
    const MilterMessage& message = conversation.connection.message;
    ASSERT_EQ(message.headers.size(), 1u) << show(c.sent);
    EXPECT_EQ(show(message.headers[0].value), show(c.want)) << "sent " << show(c.sent);
    EXPECT_EQ(message.headerBytes, 7 + c.want.size()) << "sent " << show(c.sent);
  }
}

TEST(HeaderValues, AllocationFailureTempfailsTheMessage) {
  for (int64_t k = 0;; ++k) {
    Conversation conversation;
    ASSERT_TRUE(appendInput(conversation.connection,
                            packet('L', nuls({"Subject", std::string(5000, 's')})) +
                                packet('L', nuls({"To", "b@example.org"}))));
    LogCapture capture;
    bool failed;
    {
      testing::ScopedAllocationFailure guard(k);
      conversation.dispatchInput();
      failed = testing::failedAllocations() > 0;
    }
    std::string lines = capture.take();
    const MilterMessage& message = conversation.connection.message;
    if (!failed) {
      EXPECT_EQ(message.headers.size(), 2u);
      break;
    }
    if (message.headerLimitReached) {
      EXPECT_NE(lines.find("header accumulation failed: error.OutOfMemory"), std::string::npos)
          << "allocation " << k << ": " << lines;
      EXPECT_LT(message.headers.size(), 2u);
    }
    // A reply that could not be queued closes instead.
    EXPECT_TRUE(message.headerLimitReached || conversation.connection.closeRequested)
        << "allocation " << k;
  }
}

// ------------------------------------------------------------ the replies

TEST(Replies, InsertHeaderCarriesTheValueWithLfLineEnds) {
  struct Case {
    uint32_t flags;
    std::string_view value;
    std::string want;
  } cases[] = {
      {kSmfipHdrLeadSpc, "i=1; a=rsa-sha256;\r\n\tb=abc",
       word(0) + nuls({"ARC-Seal", " i=1; a=rsa-sha256;\n\tb=abc"})},
      {0, "i=1;\r\n\tb=abc", word(0) + nuls({"ARC-Seal", "i=1;\n\tb=abc"})},
      {kSmfipHdrLeadSpc, "lone\rcr and\r\r\n end",
       word(0) + nuls({"ARC-Seal", " lone\rcr and\r\n end"})},
      {kSmfipHdrLeadSpc, "", word(0) + nuls({"ARC-Seal", " "})},
  };
  for (const Case& c : cases) {
    MilterConnection connection;
    connection.negotiatedProtocolFlags = c.flags;
    Result<HeaderChangeReply> reply = insertHeaderReply(connection, "ARC-Seal", c.value);
    ASSERT_TRUE(reply) << show(c.value);
    EXPECT_EQ(reply->code, 'i');
    EXPECT_EQ(show(reply->data), show(c.want)) << "value " << show(c.value);
  }
}

TEST(Replies, ChangeHeaderNamesTheFieldByItsOrdinal) {
  Result<HeaderChangeReply> deletion = changeHeaderReply(2, "Authentication-Results", "");
  ASSERT_TRUE(deletion);
  EXPECT_EQ(deletion->code, 'm');
  EXPECT_EQ(show(deletion->data), show(word(2) + nuls({"Authentication-Results", ""})));
  Result<HeaderChangeReply> change = changeHeaderReply(1, "Subject", "new");
  ASSERT_TRUE(change);
  EXPECT_EQ(show(change->data), show(word(1) + nuls({"Subject", "new"})));
}

TEST(Replies, BuildersRefuseWhatWouldCorruptThePacket) {
  MilterConnection connection;
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(insertHeaderReply(connection, withNul, "v").error(), Error::InvalidArgument);
  EXPECT_EQ(insertHeaderReply(connection, "X", withNul).error(), Error::InvalidArgument);
  EXPECT_EQ(changeHeaderReply(1, "X", withNul).error(), Error::InvalidArgument);
  EXPECT_EQ(changeHeaderReply(0, "X", "").error(), Error::InvalidArgument);
}

TEST(ReplyQueue, QueuesAllOrNothing) {
  MilterConnection connection;
  const std::string big(kMaxReplyData + 1, 'x');
  const ReplyPacket tooLarge[] = {{'c', {}}, {'i', big}};
  EXPECT_EQ(queueReplies(connection, tooLarge), std::unexpected(Error::PacketTooLarge));
  EXPECT_EQ(unwrittenReplies(connection), "");

  const std::string data(1000, 'd');
  const ReplyPacket two[] = {{'i', data}, {'a', {}}};
  ASSERT_TRUE(queueReplies(connection, two));
  EXPECT_EQ(unwrittenReplies(connection), packet('i', data) + packet('a'));
}

TEST(ReplyQueue, UnwrittenBytesAreBoundedAt256KiB) {
  MilterConnection connection;
  const std::string data(kMaxUnwrittenReplies - 5 - 5, 'd');
  ASSERT_TRUE(queueReplies(connection, std::vector<ReplyPacket>{{'i', data}}));
  ASSERT_TRUE(queueReplyCode(connection, 'c'));  // exactly 256 KiB
  EXPECT_EQ(unwrittenReplies(connection).size(), kMaxUnwrittenReplies);
  EXPECT_EQ(queueReplyCode(connection, 'c'), std::unexpected(Error::OutputQueueFull));

  // What the peer read no longer counts, and is moved out of the buffer.
  markRepliesWritten(connection, 5);
  ASSERT_TRUE(queueReplyCode(connection, 'a'));
  EXPECT_EQ(connection.written, 0u);
  EXPECT_EQ(unwrittenReplies(connection).size(), kMaxUnwrittenReplies);
  EXPECT_EQ(unwrittenReplies(connection).substr(kMaxUnwrittenReplies - 10),
            packet('c') + packet('a'));
}

TEST(ReplyQueue, APeerThatNeverReadsIsDroppedWithTheQueueFullLine) {
  Conversation conversation;
  MilterConnection& connection = conversation.connection;
  connection.daemonName.emplace("mx in");  // written as it is in this line
  const std::string body = packet('B', "x");
  size_t replies = 0;
  LogCapture capture;
  while (!connection.closeRequested && replies < kMaxUnwrittenReplies) {
    ASSERT_EQ(conversation.feed(body), std::nullopt);
    ++replies;
  }
  EXPECT_TRUE(connection.closeRequested);
  EXPECT_EQ(replies, kMaxUnwrittenReplies / 5 + 1);
  EXPECT_EQ(capture.take(),
            "kestrelvault[0]: dropping connection from mx in[local]: 262140 bytes of replies "
            "unread, output queue full\n");
}

TEST(ReplyQueue, ADrainedQueueGivesBackALargeBuffer) {
  MilterConnection connection;
  const std::string data(20000, 'd');
  ASSERT_TRUE(queueReplies(connection, std::vector<ReplyPacket>{{'i', data}}));
  markRepliesWritten(connection, 10000);
  EXPECT_GE(connection.replyQueue.capacity(), 20000u);
  markRepliesWritten(connection, 10005);
  EXPECT_EQ(unwrittenReplies(connection), "");
  EXPECT_LE(connection.replyQueue.capacity(), 8192u);
}

TEST(ReplyQueue, AllocationFailureLeavesTheQueueAsItWas) {
  const std::string data(40000, 'd');
  const ReplyPacket large[] = {{'i', data}, {'a', {}}};
  for (int64_t k = 0;; ++k) {
    MilterConnection connection;
    Status first, second;
    bool failed;
    {
      testing::ScopedAllocationFailure guard(k);
      first = queueReplyCode(connection, 'c');
      second = queueReplies(connection, large);
      failed = testing::failedAllocations() > 0;
    }
    for (const Status& status : {first, second}) {
      if (!status) {
        EXPECT_EQ(status.error(), Error::OutOfMemory) << "allocation " << k;
      }
    }
    std::string want = (first ? packet('c') : "") + (second ? packet('i', data) + packet('a') : "");
    EXPECT_TRUE(unwrittenReplies(connection) == want) << "allocation " << k;
    if (!failed) break;
  }
}

TEST(ReplyQueue, AReplyThatCannotBeQueuedClosesTheConnection) {
  LogSettings saved = logSettings();
  logSettings().level = 7;
  for (int64_t k = 0;; ++k) {
    Conversation conversation;
    ASSERT_TRUE(appendInput(conversation.connection, packet('N')));
    LogCapture capture;
    bool failed;
    {
      testing::ScopedAllocationFailure guard(k);
      conversation.dispatchInput();
      failed = testing::failedAllocations() > 0;
    }
    std::string lines = capture.take();
    if (!failed) {
      EXPECT_EQ(unwrittenReplies(conversation.connection), packet('c'));
      break;
    }
    EXPECT_TRUE(conversation.connection.closeRequested);
    EXPECT_EQ(lines,
              "kestrelvault[0]: dropping connection from unknown[local]: reply write failed: "
              "OutOfMemory\n");
  }
  logSettings() = saved;
}

// ------------------------------------------------------------ the writer

// A socketpair whose codec end has a small send buffer, both ends non-blocking.
struct SocketPair {
  UniqueFd peer;
  MilterConnection connection;

  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    connection.socket.reset(fds[0]);
    peer.reset(fds[1]);
    int size = 4096;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

  std::string readAvailable() {
    std::string out;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(peer.get(), buffer, sizeof buffer)) > 0) {
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
};

TEST(Writer, WritesEveryQueuedReplyInOneGo) {
  SocketPair pair;
  const std::string data = std::string(100, 'v');
  const ReplyPacket replies[] = {{'m', data}, {'i', data}, {'a', {}}};
  ASSERT_TRUE(queueReplies(pair.connection, replies));
  EXPECT_EQ(flushReplies(pair.connection), FlushOutcome::Written);
  EXPECT_EQ(pair.readAvailable(), packet('m', data) + packet('i', data) + packet('a'));
  EXPECT_EQ(flushReplies(pair.connection), FlushOutcome::Written);  // nothing left: no write
}

TEST(Writer, HoldsWhileThePeerDoesNotReadAndDeliversEverythingInOrder) {
  SocketPair pair;
  MilterConnection& connection = pair.connection;
  connection.daemonName = "mx in";
  std::string sent;
  for (int i = 0; i < 40; ++i) {
    std::string data(1000, static_cast<char>('A' + i % 26));
    ASSERT_TRUE(queueReplies(connection, std::vector<ReplyPacket>{{'i', data}}));
    sent += packet('i', data);
  }

  LogCapture capture;
  EXPECT_EQ(flushReplies(connection), FlushOutcome::HoldStarted);
  EXPECT_TRUE(connection.holding);
  size_t held = unwrittenReplies(connection).size();
  ASSERT_GT(held, 0u);
  // Replies of later commands queue behind the held ones; the writer waits for
  // the readiness event and says nothing more.
  ASSERT_TRUE(queueReplyCode(connection, 'a'));
  sent += packet('a');
  EXPECT_EQ(flushReplies(connection), FlushOutcome::Holding);
  EXPECT_EQ(capture.take(), "kestrelvault[0]: holding " + std::to_string(held) +
                                " bytes of replies for mx in[local]: peer is not reading, will "
                                "resume when it does\n");

  std::string received;
  for (int rounds = 0; rounds < 1000 && received.size() < sent.size(); ++rounds) {
    received += pair.readAvailable();
    connection.holding = false;  // what the write-readiness event does
    LogCapture quiet;
    FlushOutcome outcome = flushReplies(connection);
    ASSERT_NE(outcome, FlushOutcome::Failed);
    quiet.take();
  }
  received += pair.readAvailable();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "replies arrived changed or out of order";
  EXPECT_EQ(unwrittenReplies(connection), "");
}

TEST(Writer, AGonePeerFailsTheWriteWithItsLine) {
  LogSettings saved = logSettings();
  logSettings().level = 7;
  SocketPair pair;
  pair.peer.reset();
  ASSERT_TRUE(queueReplyCode(pair.connection, 'c'));
  LogCapture capture;
  EXPECT_EQ(flushReplies(pair.connection), FlushOutcome::Failed);
  EXPECT_TRUE(pair.connection.closeRequested);
  EXPECT_EQ(capture.take(),
            "kestrelvault[0]: dropping connection from unknown[local]: reply write failed: "
            "BrokenPipe\n");
  logSettings() = saved;
}

// ------------------------------------------------- the daemon's handlers

TEST(DaemonHandlers, BodySlotKeepsTheBody) {
  Conversation conversation;
  conversation.handlers.body = handleBodyChunkSlot;
  conversation.connection.limits.maxBodyBytes = 10;
  ASSERT_EQ(conversation.feed(packet('B', "123456") + packet('B', "7890")), std::nullopt);
  EXPECT_EQ(conversation.connection.message.body, "1234567890");
  EXPECT_EQ(conversation.takeReplies(), packet('c') + packet('c'));
}

}  // namespace
}  // namespace tollbrook
