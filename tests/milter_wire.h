// The milter packet framing from the MTA's side, shared by the test MTA, the
// load generator and the trivial milter: a length word, a code, the data; and
// the bare-LF folds an MTA hands header values over with. Pure functions on
// caller-owned strings; any thread.
#ifndef TOLLBROOK_TESTS_MILTER_WIRE_H_
#define TOLLBROOK_TESTS_MILTER_WIRE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tollbrook::testing {

inline void appendWord(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

inline uint32_t readWord(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

inline void appendPacket(std::string& out, char code, std::string_view data = {}) {
  appendWord(out, static_cast<uint32_t>(data.size() + 1));
  out.push_back(code);
  out.append(data);
}

struct Packet {
  char code = 0;
  std::string_view data;
  size_t size = 0;  // bytes the packet takes in the stream
};

// The packet at the front of `bytes`, or nullopt while it is incomplete.
// A length word of 0 or above 1 MiB + 1 comes back as code 0.
inline std::optional<Packet> frontPacket(std::string_view bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const uint32_t length = readWord(bytes);
  if (length == 0 || length > (1u << 20) + 1) return Packet{0, {}, 0};
  if (bytes.size() < 4 + size_t{length}) return std::nullopt;
  return Packet{bytes[4], bytes.substr(5, length - 1), 4 + size_t{length}};
}

// The value with every CR LF turned into a bare LF, as an MTA sends folds.
inline std::string withLfLineEnds(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') continue;
    out.push_back(value[i]);
  }
  return out;
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_MILTER_WIRE_H_
