#include "daemon/milter/milter_connection.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "base/room_for_one_more.h"
#include "core/log.h"

namespace tollbrook {

void MilterConnection::setPeerLabel(std::string_view label) {
  size_t length = std::min(label.size(), peerLabel.size());
  std::copy_n(label.data(), length, peerLabel.data());
  peerLabelLength = static_cast<uint8_t>(length);
}

ConnectionLabel::ConnectionLabel(const MilterConnection& connection, bool sanitised) {
  appendPiece(connection.daemonName ? std::string_view(*connection.daemonName) : "unknown",
              sanitised, kMaxDaemonName);
  appendByte('[');
  appendPiece(connection.peerLabelLength > 0 ? connection.peer() : "local", sanitised,
              connection.peerLabel.size());
  appendByte(']');
}

void ConnectionLabel::appendPiece(std::string_view piece, bool sanitised, size_t cap) {
  size_t room = std::min(cap, sizeof buffer_ - length_);
  if (sanitised) {
    length_ += logSafeText(piece, buffer_ + length_, room);
  } else {
    size_t n = std::min(piece.size(), room);
    std::copy_n(piece.data(), n, buffer_ + length_);
    length_ += n;
  }
}

void ConnectionLabel::appendByte(char c) {
  if (length_ < sizeof buffer_) buffer_[length_++] = c;
}

char* HeaderTextStore::allocate(size_t size) {
  size = std::max<size_t>(size, 1);  // an empty field still gets a real address
  // A field larger than a quarter block gets a block of its own, so the
  // shared block is not abandoned half empty for it.
  if (size > kBlockSize / 4) {
    reserveRoomForOneMore(blocks_);  // the push below cannot throw then
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    char* own = blocks_.back().get();
    // The shared block is no longer last: keep filling it through its pointer.
    if (capacity_ != 0) std::swap(blocks_[blocks_.size() - 1], blocks_[blocks_.size() - 2]);
    return own;
  }
  if (capacity_ - used_ < size) {
    reserveRoomForOneMore(blocks_);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    capacity_ = kBlockSize;
    used_ = 0;
  }
  char* room = blocks_.back().get() + used_;
  used_ += size;
  return room;
}

namespace {

bool limitMet(const MilterConnection& connection, size_t fieldBytes) {
  const MessageLimits& limits = connection.limits;
  const MilterMessage& message = connection.message;
  if (limits.maxHeaders != 0 && message.headers.size() >= limits.maxHeaders) return true;
  return limits.maxHeaderBytes != 0 && fieldBytes + message.headerBytes > limits.maxHeaderBytes;
}

// Header values come to several KiB per message (ARC fields above all) and
// almost never hold a bare LF, so both walks below jump from LF to LF.
size_t bareLineFeeds(std::string_view value) {
  size_t count = 0;
  for (size_t i = value.find('\n'); i != std::string_view::npos; i = value.find('\n', i + 1)) {
    if (i == 0 || value[i - 1] != '\r') ++count;
  }
  return count;
}

// Copies the value with each bare LF written as CR LF; `out` has room for
// value.size() + bareLineFeeds(value) bytes.
void copyWithCrLf(std::string_view value, char* out) {
  size_t from = 0;
  for (size_t i = value.find('\n'); i != std::string_view::npos; i = value.find('\n', i + 1)) {
    if (i != 0 && value[i - 1] == '\r') continue;
    std::memcpy(out, value.data() + from, i - from);
    out += i - from;
    *out++ = '\r';
    from = i;  // the LF itself goes with the next piece
  }
  std::memcpy(out, value.data() + from, value.size() - from);
}

void appendField(MilterMessage& message, std::string_view name, std::string_view value,
                 size_t storedValueSize, bool leadingSpace) {
  reserveRoomForOneMore(message.headers);  // the push below cannot throw then
  char* text = message.headerText.allocate(name.size() + storedValueSize);
  std::memcpy(text, name.data(), name.size());
  copyWithCrLf(value, text + name.size());
  message.headers.push_back(HeaderField{std::string_view(text, name.size()),
                                        std::string_view(text + name.size(), storedValueSize),
                                        leadingSpace});
}

}  // namespace

HeaderStore storeHeader(MilterConnection& connection, std::string_view name, std::string_view value,
                        bool leadingSpace) {
  MilterMessage& message = connection.message;
  if (message.headerLimitReached) return HeaderStore::Dropped;
  size_t storedValueSize = value.size() + bareLineFeeds(value);
  size_t fieldBytes = name.size() + storedValueSize;
  if (limitMet(connection, fieldBytes)) {
    message.headerLimitReached = true;
    logMessage(Severity::Warning, "header limit reached (", message.headers.size(), " headers, ",
               message.headerBytes, " bytes) from ",
               connectionLabel(connection, LabelForm::Sanitised).text(),
               ": message will not be authenticated");
    return HeaderStore::LimitReached;
  }
  try {
    appendField(message, name, value, storedValueSize, leadingSpace);
  } catch (const std::bad_alloc&) {
    message.headerLimitReached = true;
    logMessage(Severity::Err, "header accumulation failed: ", Error::OutOfMemory);
    return HeaderStore::OutOfMemory;
  }
  message.headerBytes += fieldBytes;
  return HeaderStore::Stored;
}

void accumulateHeaderPacket(MilterConnection& connection, std::string_view data) {
  size_t nul = data.find('\0');
  if (nul == std::string_view::npos) return;
  std::string_view name = data.substr(0, nul);
  std::string_view value = data.substr(nul + 1);
  value = value.substr(0, value.find('\0'));
  bool leadingSpace = true;
  if ((connection.negotiatedProtocolFlags & kSmfipHdrLeadSpc) != 0) {
    leadingSpace = !value.empty() && value.front() == ' ';
    if (leadingSpace) value.remove_prefix(1);
  }
  storeHeader(connection, name, value, leadingSpace);
}

void releaseBody(MilterConnection& connection) {
  // Swapping with an empty string is the one way that frees the buffer too.
  std::string().swap(connection.message.body);
}

// A fresh value in place of the old one: the old value's destructor gives back
// every buffer (assigning an empty value would let strings keep their
// capacity), and a field added to MilterMessage later is reset with the rest.
static_assert(std::is_nothrow_default_constructible_v<MilterMessage>);

void resetMessage(MilterConnection& connection) {
  std::destroy_at(&connection.message);
  std::construct_at(&connection.message);
}

}  // namespace tollbrook
