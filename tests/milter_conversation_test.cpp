// The codec against the test MTA, over a socketpair: whole conversations as
// Postfix holds them, replies checked byte for byte, and header changes
// applied to the message as an MTA applies them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/milter/body_handler.h"
#include "daemon/milter/codec.h"
#include "tests/milter_client.h"
#include "tests/milter_codec_peer.h"
#include "testsupport/test_text.h"

namespace tollbrook::testing {
namespace {

// What the end-of-message handler saw of each message, copied on the codec's
// thread and read by the test after join().
struct SeenMessage {
  std::string queueId, daemonName, clientAddr, connectAddress, sender;
  std::vector<std::string> recipients;
  std::vector<std::string> headers;  // name ":" value, with leadingSpace written as " "
  size_t bodySize = 0;
};

struct EomContext {
  std::vector<SeenMessage> seen;
  bool changeHeaders = false;
};

std::string optional(const std::optional<std::string>& text) {
  return text.value_or("(unset)");
}

// Records the message; with changeHeaders, deletes the first X-Spam field and
// inserts a folded X-Checked field, then accepts.
char recordingEom(void* context, MilterConnection& connection) {
  auto& eom = *static_cast<EomContext*>(context);
  const MilterMessage& message = connection.message;
  SeenMessage seen{optional(message.queueId),
                   optional(connection.daemonName),
                   optional(connection.clientAddr),
                   optional(connection.connectAddress),
                   optional(message.envelopeSender),
                   message.recipients,
                   {},
                   message.body.size()};
  for (const HeaderField& field : message.headers) {
    seen.headers.push_back(std::string(field.name) + ":" + (field.leadingSpace ? " " : "") +
                           std::string(field.value));
  }
  eom.seen.push_back(std::move(seen));
  if (!eom.changeHeaders) return 'a';
  Result<HeaderChangeReply> deletion = changeHeaderReply(1, "X-Spam", "");
  Result<HeaderChangeReply> insertion =
      insertHeaderReply(connection, "X-Checked", "yes;\r\n\tby=mx-in");
  if (!deletion || !insertion) return 't';
  const ReplyPacket changes[] = {deletion->packet(), insertion->packet()};
  return queueReplies(connection, changes) ? 'a' : 't';
}

MilterHandlers daemonLikeHandlers(EomContext& context) {
  MilterHandlers handlers;
  handlers.context = &context;
  handlers.body = handleBodyChunkSlot;
  handlers.eom = recordingEom;
  return handlers;
}

const char kMessage[] =
    "Received: from mail.example.org (mail.example.org [192.0.2.25])\r\n"
    "\tby mx.example.net; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "From: Alice <alice@example.org>\r\n"
    "To: Bob <bob@example.com>,\r\n"
    "  Carol <carol@example.com>\r\n"
    "X-Spam: yes\r\n"
    "Subject:no space\r\n"
    "\r\n"
    "Hello Bob,\r\n"
    "\r\n"
    "Regards\r\n";

MtaMessage textMessage(std::string text) {
  MtaMessage message;
  message.text = std::move(text);
  return message;
}

struct Pair {
  MilterClient client;
  std::unique_ptr<CodecPeer> peer;
};

Pair startConversation(const MilterHandlers& handlers, MessageLimits limits = {}) {
  auto made = MilterClient::overSocketPair();
  if (!made) throw std::runtime_error("socketpair");
  auto peer = std::make_unique<CodecPeer>(std::move(made->second), handlers, limits);
  return {std::move(made->first), std::move(peer)};
}

TEST(MilterConversation, TwoMessagesAsPostfixSendsThem) {
  EomContext context;
  context.changeHeaders = true;
  auto [client, peer] = startConversation(daemonLikeHandlers(context));

  Result<Negotiated> agreed = client.negotiate(0x1FF, 0x1FFFFF);
  ASSERT_TRUE(agreed);
  EXPECT_EQ(agreed->version, 6u);
  EXPECT_EQ(agreed->actions, 0x11u);
  EXPECT_EQ(agreed->flags, 0x100000u);
  EXPECT_TRUE(client.leadingSpace());

  MtaSession session;
  ASSERT_EQ(client.openSession(session), 'c');
  MtaMessage first = textMessage(kMessage);
  Result<EndOfMessage> ended = client.sendMessage(first);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 'a');
  ASSERT_EQ(ended->modifications.size(), 2u);
  EXPECT_EQ(show(ended->modifications[0].encoded()),
            show(std::string("\0\0\0\x0dm\0\0\0\1X-Spam\0\0", 17)));
  EXPECT_EQ(show(ended->modifications[1].encoded()),
            show(std::string("\0\0\0\x1fi\0\0\0\0X-Checked\0 yes;\n\tby=mx-in\0", 35)));
  EXPECT_EQ(spellLineBytes(applyHeaderChanges(kMessage, ended->modifications, true)),
            spellLineBytes("X-Checked: yes;\r\n\tby=mx-in\r\n"
                           "Received: from mail.example.org (mail.example.org [192.0.2.25])\r\n"
                           "\tby mx.example.net; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
                           "From: Alice <alice@example.org>\r\n"
                           "To: Bob <bob@example.com>,\r\n"
                           "  Carol <carol@example.com>\r\n"
                           "Subject:no space\r\n"
                           "\r\n"
                           "Hello Bob,\r\n"
                           "\r\n"
                           "Regards\r\n"));

  MtaMessage second = textMessage("Subject: second\r\n\r\n" + std::string(150000, 'b'));
  second.queueId = "4Xc0Aa2wLKz9";
  second.sender = "carol@example.com";
  second.recipients = {"dave@example.net", "erin@example.net"};
  ended = client.sendMessage(second);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 'a');
  ASSERT_TRUE(client.quit());
  EXPECT_TRUE(client.peerClosed());
  peer->join();

  ASSERT_EQ(context.seen.size(), 2u);
  const SeenMessage& one = context.seen[0];
  EXPECT_EQ(one.queueId, first.queueId);
  EXPECT_EQ(one.daemonName, "mx-in");
  EXPECT_EQ(one.clientAddr, "192.0.2.25");
  EXPECT_EQ(one.connectAddress, "192.0.2.25");
  EXPECT_EQ(one.sender, "<alice@example.org>");
  EXPECT_EQ(one.recipients, std::vector<std::string>{"<bob@example.com>"});
  // Folds arrive with bare LF, as Postfix sends them, and are stored with CR LF.
  const std::vector<std::string> wantHeaders = {
      "Received: from mail.example.org (mail.example.org [192.0.2.25])\r\n"
      "\tby mx.example.net; Thu, 1 Jan 2026 00:00:00 +0000",
      "From: Alice <alice@example.org>",
      "To: Bob <bob@example.com>,\r\n  Carol <carol@example.com>", "X-Spam: yes",
      "Subject:no space"};
  EXPECT_EQ(one.headers, wantHeaders);
  EXPECT_EQ(one.bodySize, std::string_view("Hello Bob,\r\n\r\nRegards\r\n").size());

  const SeenMessage& two = context.seen[1];
  EXPECT_EQ(two.queueId, second.queueId);
  EXPECT_EQ(two.daemonName, "mx-in");
  EXPECT_EQ(two.clientAddr, "192.0.2.25");
  EXPECT_EQ(two.recipients, (std::vector<std::string>{"<dave@example.net>", "<erin@example.net>"}));
  EXPECT_EQ(two.headers, std::vector<std::string>{"Subject: second"});
  EXPECT_EQ(two.bodySize, 150000u);  // three body packets
}

TEST(MilterConversation, WithoutLeadingSpacesTheMtaAddsTheSpaceItself) {
  EomContext context;
  context.changeHeaders = true;
  auto [client, peer] = startConversation(daemonLikeHandlers(context));
  Result<Negotiated> agreed = client.negotiate(0x1FF, 0);
  ASSERT_TRUE(agreed);
  EXPECT_EQ(agreed->flags, 0u);
  ASSERT_EQ(client.openSession(MtaSession{}), 'c');
  Result<EndOfMessage> ended = client.sendMessage(textMessage(kMessage));
  ASSERT_TRUE(ended);
  ASSERT_EQ(ended->modifications.size(), 2u);
  EXPECT_EQ(show(ended->modifications[1].data),
            show(std::string("\0\0\0\0X-Checked\0yes;\n\tby=mx-in\0", 29)));
  EXPECT_NE(applyHeaderChanges(kMessage, ended->modifications, false)
                .find("X-Checked: yes;\r\n\tby=mx-in\r\n"),
            std::string::npos);
  ASSERT_TRUE(client.quit());
  peer->join();
  ASSERT_EQ(context.seen.size(), 1u);
  EXPECT_EQ(context.seen[0].headers[1], "From: Alice <alice@example.org>");
}

TEST(MilterConversation, AnOverlongHeaderBlockIsTempfailedAndTheNextMessageGoesThrough) {
  EomContext context;
  auto [client, peer] = startConversation(daemonLikeHandlers(context), MessageLimits{0, 3, 0});
  ASSERT_TRUE(client.negotiate());
  ASSERT_EQ(client.openSession(MtaSession{}), 'c');
  ::testing::internal::CaptureStderr();
  Result<EndOfMessage> ended = client.sendMessage(textMessage(kMessage));
  std::string lines = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 't');
  EXPECT_NE(lines.find("tempfail: header block from mx-in[local] exceeded MaxHeaders=3/"),
            std::string::npos)
      << lines;
  ended = client.sendMessage(textMessage("Subject: short\r\n\r\nbody\r\n"));
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->code, 'a');
  ASSERT_TRUE(client.quit());
  peer->join();
  EXPECT_EQ(context.seen.size(), 1u);  // the tempfailed message never reached the handler
}

TEST(MilterConversation, AbortEndsTheMessageAndFramingErrorsEndTheConnection) {
  EomContext context;
  auto [client, peer] = startConversation(daemonLikeHandlers(context));
  ASSERT_TRUE(client.negotiate());
  ASSERT_EQ(client.openSession(MtaSession{}), 'c');
  MtaMessage message = textMessage(kMessage);
  ASSERT_EQ(client.envfrom(message), 'c');
  ASSERT_EQ(client.header("Subject", "aborted", true), 'c');
  ASSERT_TRUE(client.abort());
  ASSERT_EQ(client.endOfHeaders(), 'c');
  // Length word 1 MiB + 1: the codec closes before the whole packet is sent,
  // so the send may fail.
  (void)client.sendPacket('B', std::string(1 << 20, 'x'));
  EXPECT_TRUE(client.peerClosed());
  peer->join();
  EXPECT_TRUE(context.seen.empty());
  EXPECT_TRUE(peer->connection().message.headers.empty());
}

}  // namespace
}  // namespace tollbrook::testing
