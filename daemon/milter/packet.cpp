#include "daemon/milter/packet.h"

#include <new>

namespace tollbrook {
namespace {

// An input buffer this large is given back once drained: one huge packet
// must not pin its memory for the life of an idle connection. Body chunks
// of 64 KiB keep theirs.
constexpr size_t kKeptInputCapacity = 128 * 1024;

uint32_t readLengthWord(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

std::string_view unconsumedInput(const MilterConnection& connection) {
  return std::string_view(connection.input).substr(connection.inputConsumed);
}

}  // namespace

Status appendInput(MilterConnection& connection, std::string_view bytes) {
  // Dropping the consumed bytes here, once per read, moves the remainder once
  // instead of once per packet.
  connection.input.erase(0, connection.inputConsumed);
  connection.inputConsumed = 0;
  try {
    connection.input.append(bytes);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Result<std::optional<Packet>> nextPacket(MilterConnection& connection) {
  std::string_view input = unconsumedInput(connection);
  if (!connection.pendingLength) {
    if (input.size() < 4) return std::nullopt;
    connection.pendingLength = readLengthWord(input);
  }
  uint32_t length = *connection.pendingLength;
  if (length == 0 || length > kMaxPacketLength) return fail(Error::PacketTooLarge);
  if (input.size() - 4 < length) return std::nullopt;
  return Packet{input[4], input.substr(5, length - 1)};
}

void consumePacket(MilterConnection& connection) {
  if (!connection.pendingLength) return;
  size_t packetSize = 4 + size_t{*connection.pendingLength};
  if (unconsumedInput(connection).size() < packetSize) return;  // not a whole packet yet
  connection.inputConsumed += packetSize;
  connection.pendingLength.reset();
  if (connection.inputConsumed < connection.input.size()) return;
  connection.inputConsumed = 0;
  if (connection.input.capacity() > kKeptInputCapacity) {
    std::string().swap(connection.input);
  } else {
    connection.input.clear();
  }
}

}  // namespace tollbrook
