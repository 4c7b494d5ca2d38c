// Replies to the MTA: the packets the daemon sends, the per-connection reply
// queue with its 256 KiB bound, and the writer that drains the queue onto the
// connection's non-blocking socket. Worker thread of the connection. A
// ReplyPacket only views its data; the caller keeps it alive until
// queueReplies returns (the queue then holds its own copy).
#ifndef TOLLBROOK_DAEMON_MILTER_REPLIES_H_
#define TOLLBROOK_DAEMON_MILTER_REPLIES_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// Reply codes the daemon sends.
inline constexpr char kReplyContinue = 'c';
inline constexpr char kReplyAccept = 'a';
inline constexpr char kReplyTempfail = 't';
inline constexpr char kReplyNegotiate = 'O';
inline constexpr char kReplyInsertHeader = 'i';
inline constexpr char kReplyChangeHeader = 'm';

// The largest data a reply may carry.
inline constexpr size_t kMaxReplyData = 1u << 20;
// Unwritten replies allowed per connection before it is dropped.
inline constexpr size_t kMaxUnwrittenReplies = 256 * 1024;

struct ReplyPacket {
  char code = kReplyContinue;
  std::string_view data;  // not owned
};

// A header modification ready to queue; owns its data.
struct HeaderChangeReply {
  char code = kReplyInsertHeader;
  std::string data;

  ReplyPacket packet() const { return {code, data}; }
};

// 'i': index 0 (above every other field), name NUL, one space when the
// connection negotiated SMFIP_HDR_LEADSPC (callers never add one), the value
// with each CR LF turned into the LF the MTA expects (a lone CR stays), NUL.
// Errors: InvalidArgument (a NUL in name or value would cut the field),
// OutOfMemory.
[[nodiscard]] Result<HeaderChangeReply> insertHeaderReply(const MilterConnection& connection,
                                                          std::string_view name,
                                                          std::string_view value);

// 'm': the 1-based position of the field among the fields of that name, name
// NUL value NUL. An empty value deletes the field. Errors: InvalidArgument (a
// NUL in name or value, or index 0), OutOfMemory.
[[nodiscard]] Result<HeaderChangeReply> changeHeaderReply(uint32_t index, std::string_view name,
                                                          std::string_view value);

// Appends the packets to the reply queue, all or none. Errors: PacketTooLarge
// (data over kMaxReplyData), OutputQueueFull (the unwritten bytes would pass
// kMaxUnwrittenReplies), OutOfMemory. Nothing is written here.
[[nodiscard]] Status queueReplies(MilterConnection& connection,
                                  std::span<const ReplyPacket> packets);

// queueReplies for one packet without data: 'c', 'a', 't'.
[[nodiscard]] Status queueReplyCode(MilterConnection& connection, char code);

// The queued bytes not yet written, and the step that takes `count` of them off
// the front (releasing a drained buffer over 8 KiB). flushReplies is built on
// them; tests and the fuzz target use them to stand in for the socket.
std::string_view unwrittenReplies(const MilterConnection& connection);
void markRepliesWritten(MilterConnection& connection, size_t count);

enum class FlushOutcome : uint8_t {
  Written,      // the queue is empty
  HoldStarted,  // the peer stopped reading: register one-shot write readiness
  Holding,      // still waiting for the write readiness registered earlier
  Failed,       // the write failed (line logged, closeRequested set): close the connection
};

// Writes the queue onto the connection's socket until it is empty or the
// socket would block. While `holding` is set it writes nothing and answers
// Holding: the write-readiness event clears the flag and calls it again. The
// first would-block of an episode sets `holding` and logs the holding line.
// Never closes the socket itself.
[[nodiscard]] FlushOutcome flushReplies(MilterConnection& connection);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_MILTER_REPLIES_H_
