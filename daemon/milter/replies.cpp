#include "daemon/milter/replies.h"

#include <new>

#include "core/log.h"
#include "platform/io.h"

namespace tollbrook {
namespace {

// A drained queue larger than this is given back: one burst of header
// changes must not pin its memory for the life of the connection.
constexpr size_t kKeptQueueCapacity = 8192;

void appendWord(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>(value >> 16));
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

bool containsNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// Each CR LF becomes LF: the MTA keeps its lines with LF ends and adds the CR
// itself when it sends the message on.
void appendWithLfLineEnds(std::string& out, std::string_view value) {
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out.push_back(value[i]);
  }
}

}  // namespace

Result<HeaderChangeReply> insertHeaderReply(const MilterConnection& connection,
                                            std::string_view name, std::string_view value) {
  if (containsNul(name) || containsNul(value)) return fail(Error::InvalidArgument);
  bool leadingSpace = (connection.negotiatedProtocolFlags & kSmfipHdrLeadSpc) != 0;
  HeaderChangeReply reply{kReplyInsertHeader, {}};
  try {
    reply.data.reserve(4 + name.size() + 1 + 1 + value.size() + 1);
    appendWord(reply.data, 0);  // above every other field
    reply.data.append(name).push_back('\0');
    if (leadingSpace) reply.data.push_back(' ');
    appendWithLfLineEnds(reply.data, value);
    reply.data.push_back('\0');
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return reply;
}

Result<HeaderChangeReply> changeHeaderReply(uint32_t index, std::string_view name,
                                            std::string_view value) {
  if (index == 0 || containsNul(name) || containsNul(value)) return fail(Error::InvalidArgument);
  HeaderChangeReply reply{kReplyChangeHeader, {}};
  try {
    reply.data.reserve(4 + name.size() + 1 + value.size() + 1);
    appendWord(reply.data, index);
    reply.data.append(name).push_back('\0');
    reply.data.append(value).push_back('\0');
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return reply;
}

std::string_view unwrittenReplies(const MilterConnection& connection) {
  return std::string_view(connection.replyQueue).substr(static_cast<size_t>(connection.written));
}

void markRepliesWritten(MilterConnection& connection, size_t count) {
  connection.written += std::min<uint64_t>(count, unwrittenReplies(connection).size());
  if (connection.written < connection.replyQueue.size()) return;
  connection.written = 0;
  if (connection.replyQueue.capacity() > kKeptQueueCapacity) {
    std::string().swap(connection.replyQueue);
  } else {
    connection.replyQueue.clear();
  }
}

Status queueReplies(MilterConnection& connection, std::span<const ReplyPacket> packets) {
  size_t newBytes = 0;
  for (const ReplyPacket& packet : packets) {
    if (packet.data.size() > kMaxReplyData) return fail(Error::PacketTooLarge);
    newBytes += 4 + 1 + packet.data.size();
  }
  size_t unwritten = unwrittenReplies(connection).size();
  if (unwritten + newBytes > kMaxUnwrittenReplies) return fail(Error::OutputQueueFull);
  std::string& queue = connection.replyQueue;
  if (connection.written != 0) {
    queue.erase(0, static_cast<size_t>(connection.written));
    connection.written = 0;
  }
  try {
    queue.reserve(queue.size() + newBytes);  // the appends below cannot throw then
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  for (const ReplyPacket& packet : packets) {
    appendWord(queue, static_cast<uint32_t>(packet.data.size() + 1));
    queue.push_back(packet.code);
    queue.append(packet.data);
  }
  return {};
}

Status queueReplyCode(MilterConnection& connection, char code) {
  ReplyPacket packet{code, {}};
  return queueReplies(connection, {&packet, 1});
}

namespace {

// One send of the unwritten bytes (without SIGPIPE: a vanished peer is an
// error to handle): the count written, or the error kind. A count of 0 from a
// stream socket means the peer is gone.
Result<size_t> sendUnwritten(MilterConnection& connection) {
  Result<size_t> sent = sendSome(connection.socket.get(), unwrittenReplies(connection));
  if (sent && *sent == 0) return fail(Error::BrokenPipe);
  return sent;
}

FlushOutcome startHolding(MilterConnection& connection) {
  connection.holding = true;
  logMessage(Severity::Info, "holding ", unwrittenReplies(connection).size(),
             " bytes of replies for ", connectionLabel(connection, LabelForm::AsIs).text(),
             ": peer is not reading, will resume when it does");
  return FlushOutcome::HoldStarted;
}

FlushOutcome dropAfterWriteFailure(MilterConnection& connection, Error error) {
  logMessage(Severity::Debug, "dropping connection from ",
             connectionLabel(connection, LabelForm::AsIs).text(),
             ": reply write failed: ", ErrName{error});
  connection.closeRequested = true;
  return FlushOutcome::Failed;
}

}  // namespace

FlushOutcome flushReplies(MilterConnection& connection) {
  if (connection.holding) return FlushOutcome::Holding;
  while (!unwrittenReplies(connection).empty()) {
    Result<size_t> sent = sendUnwritten(connection);
    if (!sent) {
      if (sent.error() == Error::WouldBlock) return startHolding(connection);
      return dropAfterWriteFailure(connection, sent.error());
    }
    markRepliesWritten(connection, *sent);
  }
  return FlushOutcome::Written;
}

}  // namespace tollbrook
