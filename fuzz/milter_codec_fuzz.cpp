// Fuzz target: one milter connection fed arbitrary bytes, cut into reads of
// arbitrary sizes, through the codec as the worker drives it (framing,
// dispatch with the daemon's body handler and an end-of-message handler that
// queues header changes, the reply queue). The peer reads the replies or
// stops reading, as the input decides. Checks that memory stays within the
// limits and that every queued reply is a well-formed packet.
//
// Input: byte 0 seeds the read sizes, byte 1 holds flags (bit 0: the peer
// never reads its replies; bit 1: it reads one reply per read of ours), the
// rest is the stream from the MTA.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/log.h"
#include "daemon/milter/body_handler.h"
#include "daemon/milter/codec.h"

namespace {

using namespace tollbrook;

constexpr MessageLimits kLimits{64 * 1024, 20, 4096};
constexpr size_t kMaxRead = 8192;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

uint32_t readWord(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

// Deletes the first Authentication-Results field and inserts a verdict, as the
// daemon's handler will; accepts when both could be queued.
char changingEom(void*, MilterConnection& connection) {
  Result<HeaderChangeReply> deletion = changeHeaderReply(1, "Authentication-Results", "");
  Result<HeaderChangeReply> insertion =
      insertHeaderReply(connection, "Authentication-Results", "mx.example;\r\n\tarc=none");
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

void checkReplies(std::string_view replies) {
  while (!replies.empty()) {
    check(replies.size() >= 5);
    uint32_t length = readWord(replies);
    check(length >= 1 && length - 1 <= kMaxReplyData && replies.size() >= 4 + size_t{length});
    char code = replies[4];
    check(code == 'c' || code == 'a' || code == 't' || code == 'O' || code == 'i' || code == 'm');
    replies.remove_prefix(4 + size_t{length});
  }
}

void checkState(const MilterConnection& connection) {
  const MilterMessage& message = connection.message;
  check(connection.input.size() <= 4 + size_t{kMaxPacketLength} + kMaxRead);
  check(unwrittenReplies(connection).size() <= kMaxUnwrittenReplies);
  check(message.body.size() <= kLimits.maxBodyBytes);
  check(message.headers.size() <= kLimits.maxHeaders);
  check(message.headerBytes <= kLimits.maxHeaderBytes);
  for (const HeaderField& field : message.headers) {
    for (size_t i = 0; i < field.value.size(); ++i) {
      if (field.value[i] == '\n') check(i > 0 && field.value[i - 1] == '\r');
    }
  }
}

// Dispatches every complete packet; false once the connection must close.
bool dispatchAll(const MilterHandlers& table, MilterConnection& connection) {
  for (;;) {
    Result<std::optional<Packet>> next = nextPacket(connection);
    if (!next) return false;
    if (!*next) return true;
    dispatchPacket(table, connection, **next);
    checkState(connection);
    if (connection.closeRequested) return false;
    consumePacket(connection);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    // Lines are formatted as usual but go to a syslog socket this thread never opened.
    logSettings().sink = LogSink::Syslog;
    logSettings().level = 7;
    return true;
  }();
  (void)quiet;
  if (size < 2) return 0;
  uint32_t state = data[0] * 2654435761u + 1;
  bool peerReads = (data[1] & 1) == 0;
  bool peerIsSlow = (data[1] & 2) != 0;
  std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  const MilterHandlers table = handlers();
  MilterConnection connection;
  connection.limits = kLimits;
  while (!stream.empty()) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    size_t read = 1 + state % kMaxRead;
    std::string_view bytes = stream.substr(0, read);
    stream.remove_prefix(bytes.size());
    if (!appendInput(connection, bytes)) return 0;
    bool open = dispatchAll(table, connection);
    checkReplies(unwrittenReplies(connection));
    std::string_view replies = unwrittenReplies(connection);
    if (peerReads && peerIsSlow && !replies.empty()) {
      markRepliesWritten(connection, 4 + size_t{readWord(replies)});
    } else if (peerReads) {
      markRepliesWritten(connection, replies.size());
    }
    if (!open) break;
  }
  return 0;
}
