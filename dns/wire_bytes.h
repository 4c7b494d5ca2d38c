// Big-endian integer access for DNS messages. Callers check the bounds first;
// these helpers only assemble and lay out bytes.
#ifndef TOLLBROOK_DNS_WIRE_BYTES_H_
#define TOLLBROOK_DNS_WIRE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tollbrook {

inline uint8_t wireByte(std::string_view bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]);
}

inline uint16_t wireU16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>((wireByte(bytes, at) << 8) | wireByte(bytes, at + 1));
}

inline uint32_t wireU32(std::string_view bytes, size_t at) {
  return (static_cast<uint32_t>(wireU16(bytes, at)) << 16) | wireU16(bytes, at + 2);
}

inline void appendU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xff));
}

inline void appendU32(std::string& out, uint32_t value) {
  appendU16(out, static_cast<uint16_t>(value >> 16));
  appendU16(out, static_cast<uint16_t>(value & 0xffff));
}

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_WIRE_BYTES_H_
