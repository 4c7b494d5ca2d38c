#include "daemon/milter/milter_connection.h"

#include <algorithm>
#include <new>

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

namespace {

bool limitMet(const MilterConnection& connection, size_t fieldBytes) {
  const MessageLimits& limits = connection.limits;
  if (limits.maxHeaders != 0 && connection.headers.size() >= limits.maxHeaders) return true;
  return limits.maxHeaderBytes != 0 && fieldBytes + connection.headerBytes > limits.maxHeaderBytes;
}

void appendField(MilterConnection& connection, std::string_view name, std::string_view value,
                 bool leadingSpace) {
  std::string copy;
  copy.reserve(name.size() + value.size());
  copy.append(name).append(value);
  connection.headerStorage.push_back(std::move(copy));
  // Views are taken only now: the string has reached its final place.
  std::string_view text(connection.headerStorage.back());
  try {
    connection.headers.push_back(
        HeaderField{text.substr(0, name.size()), text.substr(name.size()), leadingSpace});
  } catch (const std::bad_alloc&) {
    connection.headerStorage.pop_back();
    throw;
  }
}

}  // namespace

HeaderStore storeHeader(MilterConnection& connection, std::string_view name, std::string_view value,
                        bool leadingSpace) {
  if (connection.headerLimitReached) return HeaderStore::Dropped;
  size_t fieldBytes = name.size() + value.size();
  if (limitMet(connection, fieldBytes)) {
    connection.headerLimitReached = true;
    logMessage(Severity::Warning, "header limit reached (", connection.headers.size(), " headers, ",
               connection.headerBytes, " bytes) from ", ConnectionLabel(connection, true).text(),
               ": message will not be authenticated");
    return HeaderStore::LimitReached;
  }
  try {
    appendField(connection, name, value, leadingSpace);
  } catch (const std::bad_alloc&) {
    connection.headerLimitReached = true;
    logMessage(Severity::Err, "header accumulation failed: ", Error::OutOfMemory);
    return HeaderStore::OutOfMemory;
  }
  connection.headerBytes += fieldBytes;
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

namespace {

// Swapping with an empty container is the one way that frees the buffer too.
// Only for containers whose default constructor does not allocate.
template <typename Container>
void release(Container& container) noexcept {
  Container().swap(container);
}

}  // namespace

void releaseBody(MilterConnection& connection) {
  release(connection.body);
}

void resetMessage(MilterConnection& connection) {
  connection.mailAddr.reset();
  connection.rcptAddr.reset();
  connection.queueId.reset();
  release(connection.headers);
  connection.headerStorage.clear();  // frees the strings and all but one block
  connection.envelopeSender.reset();
  release(connection.recipients);
  releaseBody(connection);
  connection.headerBytes = 0;
  connection.headerLimitReached = false;
  connection.bodyIncomplete = false;
}

}  // namespace tollbrook
