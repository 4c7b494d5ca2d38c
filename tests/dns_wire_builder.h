// Test-only builder of DNS messages byte by byte, so tests can craft replies
// the resolver must survive (pointer loops, cut records, wrong counts) as well
// as ordinary answers. Header-only; used by unit tests and the test server.
#ifndef TOLLBROOK_TESTS_DNS_WIRE_BUILDER_H_
#define TOLLBROOK_TESTS_DNS_WIRE_BUILDER_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tollbrook::testing {

class WireBuilder {
 public:
  WireBuilder& u8(uint8_t value) {
    bytes_.push_back(static_cast<char>(value));
    return *this;
  }
  WireBuilder& u16(uint16_t value) {
    return u8(static_cast<uint8_t>(value >> 8)).u8(static_cast<uint8_t>(value & 0xff));
  }
  WireBuilder& u32(uint32_t value) {
    return u16(static_cast<uint16_t>(value >> 16)).u16(value & 0xffff);
  }
  WireBuilder& raw(std::string_view bytes) {
    bytes_.append(bytes);
    return *this;
  }
  // id, flags (QR set by callers that want it), then the four counts.
  WireBuilder& header(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns = 0,
                      uint16_t ar = 0) {
    return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
  }
  // Uncompressed labels of a dotted name, with the terminating zero unless
  // terminate is false (to be followed by a pointer).
  WireBuilder& name(std::string_view dotted, bool terminate = true) {
    while (!dotted.empty()) {
      size_t dot = dotted.find('.');
      std::string_view label = dotted.substr(0, dot);
      u8(static_cast<uint8_t>(label.size())).raw(label);
      dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    return terminate ? u8(0) : *this;
  }
  WireBuilder& pointer(uint16_t offset) { return u16(static_cast<uint16_t>(0xc000 | offset)); }
  WireBuilder& question(std::string_view dotted, uint16_t type = 16) {
    return name(dotted).u16(type).u16(1);
  }
  // Owner already written; type, class IN, ttl, then RDLENGTH and RDATA.
  WireBuilder& fixed(uint16_t type, uint32_t ttl, std::string_view rdata) {
    return u16(type).u16(1).u32(ttl).u16(static_cast<uint16_t>(rdata.size())).raw(rdata);
  }
  WireBuilder& answer(std::string_view owner, uint16_t type, uint32_t ttl, std::string_view rdata) {
    return name(owner).fixed(type, ttl, rdata);
  }
  size_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// TXT RDATA: each string with its length byte.
inline std::string txtRdata(std::initializer_list<std::string_view> strings) {
  WireBuilder rdata;
  for (std::string_view s : strings) rdata.u8(static_cast<uint8_t>(s.size())).raw(s);
  return rdata.bytes();
}

// A long text split into character-strings of at most 255 bytes.
inline std::string txtRdataSplit(std::string_view text) {
  WireBuilder rdata;
  do {
    std::string_view piece = text.substr(0, 255);
    rdata.u8(static_cast<uint8_t>(piece.size())).raw(piece);
    text.remove_prefix(piece.size());
  } while (!text.empty());
  return rdata.bytes();
}

inline std::string nameRdata(std::string_view dotted) {
  return WireBuilder().name(dotted).bytes();
}

constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kFlagTruncated = 0x0200;

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DNS_WIRE_BUILDER_H_
