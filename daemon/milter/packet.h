// Framing of the milter byte stream from the MTA: the input buffer of a
// connection is cut into packets (a 4-byte big-endian length, a command byte,
// data). Pure functions over the connection's buffer; no socket is touched.
// Packets are views into the connection's input buffer, valid until the next
// appendInput or consumePacket. Worker thread of the connection.
#ifndef TOLLBROOK_DAEMON_MILTER_PACKET_H_
#define TOLLBROOK_DAEMON_MILTER_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// The largest length word accepted: command byte + data.
inline constexpr uint32_t kMaxPacketLength = 1u << 20;

struct Packet {
  char command = 0;
  std::string_view data;  // into the connection's input buffer
};

// Appends bytes read from the socket to the input buffer. Consumed bytes are
// dropped first (the remainder moves to the front), so the buffer holds at most
// one partial packet plus what one read brought. Errors: OutOfMemory.
[[nodiscard]] Status appendInput(MilterConnection& connection, std::string_view bytes);

// The packet at the front of the unconsumed input: a packet, std::nullopt when
// more bytes are needed, or PacketTooLarge for a length word of 0 or above
// kMaxPacketLength (the connection cannot be resynchronised and must close).
[[nodiscard]] Result<std::optional<Packet>> nextPacket(MilterConnection& connection);

// Drops the packet that nextPacket returned, once it has been dispatched.
// Releases a large input buffer once nothing is left in it.
void consumePacket(MilterConnection& connection);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_MILTER_PACKET_H_
