// The state of one milter connection: what the MTA's commands have built for the
// connection (macros, connect data, negotiated options), the buffers of the
// protocol layer, and the current message (envelope, header list, body) kept
// apart as one value so that resetting a message cannot forget a field.
// Owned by the worker thread that accepted the connection; never shared. Header
// fields are HeaderField records whose views point into storage the message
// owns: they stay valid as fields are appended, until resetMessage().
#ifndef TOLLBROOK_DAEMON_MILTER_MILTER_CONNECTION_H_
#define TOLLBROOK_DAEMON_MILTER_MILTER_CONNECTION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "core/message.h"

namespace tollbrook {

// Actions and protocol flags of milter version 6 that the daemon deals in.
inline constexpr uint32_t kSmfifAddHdrs = 0x01;
inline constexpr uint32_t kSmfifChgHdrs = 0x10;
inline constexpr uint32_t kSmfipHdrLeadSpc = 0x100000;

// Limits copied from the worker at accept; 0 means unlimited.
struct MessageLimits {
  uint64_t maxBodyBytes = 0;
  uint64_t maxHeaders = 0;
  uint64_t maxHeaderBytes = 0;
};

// The daemon's default limits (MaxBodyBytes 10 MiB, MaxHeaders 500,
// MaxHeaderBytes 1 MiB), which the seal tool applies as well.
inline constexpr MessageLimits kDefaultMessageLimits{10u << 20, 500, 1u << 20};

// Storage for the text of header fields: blocks that never move once made, so
// the views in the header list survive later appends. A header block of a few
// KiB costs one or two allocations instead of one per field.
class HeaderTextStore {
 public:
  // Room for `size` bytes that stay where they are until the store is
  // destroyed. Throws std::bad_alloc.
  char* allocate(size_t size);

 private:
  static constexpr size_t kBlockSize = 4096;

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = 0;      // bytes taken from the last shared block
  size_t capacity_ = 0;  // size of the last shared block (0: none yet)
};

// What belongs to the message under way; a new value starts the next message.
// Its default constructor allocates nothing, so a reset cannot fail.
struct MilterMessage {
  // Macros that name the message.
  std::optional<std::string> mailAddr, rcptAddr, queueId;

  std::vector<HeaderField> headers;  // as received; views into headerText
  HeaderTextStore headerText;
  uint64_t headerBytes = 0;  // name + value lengths of the accumulated fields

  std::optional<std::string> envelopeSender;
  std::vector<std::string> recipients;
  std::string body;  // accumulated by the body handler

  bool bodyIncomplete = false;      // the body copy was abandoned
  bool headerLimitReached = false;  // the header block was not accumulated in full
};

struct MilterConnection {
  MilterConnection() = default;
  MilterConnection(const MilterConnection&) = delete;  // headers point into storage
  MilterConnection& operator=(const MilterConnection&) = delete;

  // Protocol input: bytes read but not yet consumed (the first inputConsumed
  // bytes of `input` are already dispatched), and the decoded length word of
  // the packet at the front.
  std::string input;
  size_t inputConsumed = 0;
  std::optional<uint32_t> pendingLength;

  // Macros that stay for the connection.
  std::optional<std::string> clientAddr, clientName, daemonName, authType;
  std::optional<std::string> helo;

  uint64_t listenerIndex = 0;
  MessageLimits limits;
  std::optional<std::string> connectAddress;

  // Encoded replies not yet written, and how much of them has been written.
  std::string replyQueue;
  uint64_t written = 0;
  UniqueFd socket;
  uint32_t negotiatedActions = 0;
  uint32_t negotiatedProtocolFlags = 0;

  std::array<char, 64> peerLabel{};
  uint8_t peerLabelLength = 0;
  char connectFamily = 'U';     // '4', '6', 'L' or 'U'
  bool holding = false;         // replies wait because the peer stopped reading
  bool closeRequested = false;  // the codec is done with the connection; the worker closes it

  MilterMessage message;

  std::string_view peer() const { return {peerLabel.data(), peerLabelLength}; }
  void setPeerLabel(std::string_view label);  // truncated to 64 bytes
};

// The name of a connection in log lines: daemon_name (or "unknown"), '[', the
// peer label (or "local"), ']'. Held in a fixed buffer so logging never
// allocates; a very long daemon_name is cut.
class ConnectionLabel {
 public:
  // `sanitised` writes each piece as untrusted text ("-" when empty, '_' for
  // bytes outside 33..126); otherwise the pieces are copied as they are.
  ConnectionLabel(const MilterConnection& connection, bool sanitised);
  std::string_view text() const { return {buffer_, length_}; }

 private:
  static constexpr size_t kMaxDaemonName = 120;

  void appendPiece(std::string_view piece, bool sanitised, size_t cap);
  void appendByte(char c);

  char buffer_[kMaxDaemonName + 64 + 2];
  size_t length_ = 0;
};

// How a label is written: header and message lines sanitise it; the lines
// about the reply queue copy it as it is.
enum class LabelForm : uint8_t { Sanitised, AsIs };

inline ConnectionLabel connectionLabel(const MilterConnection& connection, LabelForm form) {
  return ConnectionLabel(connection, form == LabelForm::Sanitised);
}

// Header accumulation for one 'L' packet: name NUL value [NUL]. A packet without
// a NUL stores nothing. With SMFIP_HDR_LEADSPC negotiated, one leading space of
// the value is removed and recorded as leadingSpace; without it, the value is
// kept whole and leadingSpace is true.
void accumulateHeaderPacket(MilterConnection& connection, std::string_view data);

enum class HeaderStore : uint8_t {
  Stored,
  Dropped,       // an earlier field already made the block incomplete
  LimitReached,  // this field would pass MaxHeaders or MaxHeaderBytes
  OutOfMemory,   // the copy or the append failed
};

// Stores one field under MaxHeaders and MaxHeaderBytes. Once a limit is met, or
// a copy fails, headerLimitReached is set (with its log line) and this and every
// later field of the message is dropped.
//
// Every bare LF of the value is stored as CR LF. An MTA keeps its queue files
// with LF line ends and hands folded values over as "first\n\tsecond"; the
// message on the wire (and so every upstream signature with simple header
// canonicalization) had CR LF there. An existing CR LF stays as it is.
// MaxHeaderBytes counts the bytes stored.
HeaderStore storeHeader(MilterConnection& connection, std::string_view name, std::string_view value,
                        bool leadingSpace);

// Empties the accumulated body and gives its buffer back to the allocator
// (clearing or assigning an empty string would keep the capacity).
void releaseBody(MilterConnection& connection);

// Discards the per-message state as one value: the message macros, header
// list, envelope, recipients and body, the header byte count and both flags,
// with every buffer they held. Connection-level data stays.
void resetMessage(MilterConnection& connection);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_MILTER_MILTER_CONNECTION_H_
