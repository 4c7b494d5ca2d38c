// The milter codec's cost per message, run by hand:  build/bench/milter_bench [messages]
// 1. Codec alone: a conversation the test MTA produced (negotiation, connect,
//    helo, envelope, 12 header fields, a 10 KiB body, end of message) is fed
//    again and again in reads of 8 KiB, every packet dispatched with the
//    daemon's body handler and an end-of-message handler that queues two
//    header changes; the replies of each read are taken at once.
// 2. Over a socketpair: the test MTA sends whole messages to the codec serving
//    the other end on its own thread, waiting for each reply as Postfix does.
// Prints messages per second, and, for 1, reply batches (one write each) per
// message.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/milter/body_handler.h"
#include "daemon/milter/codec.h"
#include "tests/milter_client.h"
#include "tests/milter_codec_peer.h"

namespace {

using namespace tollbrook;
using namespace tollbrook::testing;
using Clock = std::chrono::steady_clock;

std::string benchMessage() {
  std::string text =
      "Received: from mail.example.org (mail.example.org [192.0.2.25])\r\n"
      "\tby mx.example.net; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
      "From: Alice <alice@example.org>\r\n"
      "To: Bob <bob@example.com>,\r\n  Carol <carol@example.com>\r\n"
      "Subject: a message of the benchmark\r\n"
      "Date: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
      "Message-ID: <bench@example.org>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n"
      "Authentication-Results: mx.example.net; spf=pass smtp.mailfrom=example.org\r\n"
      "X-Mailer: bench\r\n"
      "X-Extra: one more field\r\n"
      "\r\n";
  for (int n = 0; text.size() < 12 * 1024; ++n) {
    text += "Line " + std::to_string(n) +
            " of a body of plain prose, long enough to look like mail.\r\n";
  }
  return text;
}

char changingEom(void*, MilterConnection& connection) {
  Result<HeaderChangeReply> deletion = changeHeaderReply(1, "Authentication-Results", "");
  Result<HeaderChangeReply> insertion =
      insertHeaderReply(connection, "Authentication-Results", "mx.example.net;\r\n\tarc=none");
  if (!deletion || !insertion) return 't';
  const ReplyPacket changes[] = {deletion->packet(), insertion->packet()};
  return queueReplies(connection, changes) ? 'a' : 't';
}

MilterHandlers handlers() {
  MilterHandlers table;
  table.body = handleBodyChunkSlot;
  table.eom = changingEom;
  return table;
}

// The bytes the test MTA sends for one message, and before it for the session
// (negotiation to helo).
std::string recordedMessage(std::string& session) {
  auto made = MilterClient::overSocketPair();
  if (!made) std::exit(1);
  MilterClient client = std::move(made->first);
  std::string transcript;
  {
    CodecPeer peer(std::move(made->second), handlers(), kDefaultMessageLimits, &transcript);
    MtaMessage message;
    message.text = benchMessage();
    if (!client.negotiate() || !client.openSession(MtaSession{}) || !client.sendMessage(message)) {
      std::exit(1);
    }
    (void)client.quit();
    peer.join();
  }
  // Packets up to the helo command are the session's; the quit packet goes.
  size_t at = 0;
  while (at + 5 <= transcript.size()) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(transcript[at + i]); };
    size_t length = size_t{byte(0)} << 24 | size_t{byte(1)} << 16 | size_t{byte(2)} << 8 | byte(3);
    char command = transcript[at + 4];
    at += 4 + length;
    if (command == 'H') break;
  }
  session = transcript.substr(0, at);
  return transcript.substr(at, transcript.size() - at - 5);
}

void codecAlone(long count) {
  const double messages = static_cast<double>(count);
  std::string session;
  const std::string message = recordedMessage(session);
  MilterHandlers table = handlers();
  MilterConnection connection;
  connection.limits = kDefaultMessageLimits;
  long batches = 0;
  auto feed = [&](std::string_view bytes) {
    while (!bytes.empty()) {
      std::string_view read = bytes.substr(0, 8192);
      bytes.remove_prefix(read.size());
      if (!appendInput(connection, read)) std::exit(1);
      for (;;) {
        Result<std::optional<Packet>> next = nextPacket(connection);
        if (!next || !*next) break;
        dispatchPacket(table, connection, **next);
        consumePacket(connection);
      }
      size_t replies = unwrittenReplies(connection).size();
      if (replies != 0) ++batches;
      markRepliesWritten(connection, replies);
    }
  };
  feed(session);
  Clock::time_point start = Clock::now();
  for (long i = 0; i < count; ++i) feed(message);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("codec alone:      %9.0f messages/s  %.2f us/message  %.2f reply batches/message\n",
              messages / seconds, 1e6 * seconds / messages,
              static_cast<double>(batches - 1) / messages);
}

void overSocketPair(long count) {
  const double messages = static_cast<double>(count);
  auto made = MilterClient::overSocketPair();
  if (!made) std::exit(1);
  MilterClient client = std::move(made->first);
  CodecPeer peer(std::move(made->second), handlers(), kDefaultMessageLimits);
  if (!client.negotiate() || !client.openSession(MtaSession{})) std::exit(1);
  MtaMessage message;
  message.text = benchMessage();
  Clock::time_point start = Clock::now();
  for (long i = 0; i < count; ++i) {
    Result<EndOfMessage> ended = client.sendMessage(message);
    if (!ended || ended->code != 'a') std::exit(1);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  (void)client.quit();
  peer.join();
  std::printf("over a socketpair: %8.0f messages/s  %.2f us/message\n", messages / seconds,
              1e6 * seconds / messages);
}

}  // namespace

int main(int argc, char** argv) {
  long messages = argc > 1 ? std::atol(argv[1]) : 20000;
  if (messages <= 0) messages = 20000;
  codecAlone(messages * 10);
  overSocketPair(messages);
  return 0;
}
