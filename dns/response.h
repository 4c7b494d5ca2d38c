// Decoding of nameserver replies: the header fields the resolver needs and the
// answer section as DnsRecords. Every read is bounds-checked against the reply;
// malformed bytes yield an error kind, never a read outside the buffer. The
// returned response owns its records; the input view is not kept.
#ifndef TOLLBROOK_DNS_RESPONSE_H_
#define TOLLBROOK_DNS_RESPONSE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "dns/dns_record.h"

namespace tollbrook {

inline constexpr size_t kDnsHeaderLength = 12;
inline constexpr size_t kMaxDecodedNameLength = 253;  // 254 bytes and more are refused
inline constexpr int kMaxCompressionPointers = 10;

inline constexpr uint16_t kDnsTypeCname = 5;
inline constexpr uint16_t kDnsTypePtr = 12;
inline constexpr uint16_t kDnsTypeMx = 15;

inline constexpr uint8_t kRcodeNoError = 0;
inline constexpr uint8_t kRcodeServerFailure = 2;
inline constexpr uint8_t kRcodeNameError = 3;
inline constexpr uint8_t kRcodeNotImplemented = 4;
inline constexpr uint8_t kRcodeRefused = 5;

struct DnsResponse {
  uint16_t identifier = 0;
  uint8_t rcode = 0;  // low 4 bits of the flags
  bool truncated = false;
  std::vector<DnsRecord> records;  // the answer section, in reply order
};

// "server_failure" (2), "not_implemented" (4), "refused" (5), and
// "format_error" for any other non-zero value except 3.
std::string_view rcodeName(uint8_t rcode);

// The rcode of a reply of at least kDnsHeaderLength bytes.
inline uint8_t replyRcode(std::string_view reply) {
  return static_cast<uint8_t>(reply[3]) & 0x0f;
}

// Decodes the header, skips the questions and reads the answers. An answer
// whose fixed fields or RDATA run past the end stops decoding: the records read
// so far are the answer. Fails with PacketTooShort, LabelTooLong,
// TooManyLabels, InvalidPointer, TooManyPointers, NameTooLong or OutOfMemory.
[[nodiscard]] Result<DnsResponse> parseResponse(std::string_view reply);

// The dotted text of the possibly compressed name at offset (no trailing dot;
// "" for the root). Follows at most 10 pointers.
[[nodiscard]] Result<std::string> readName(std::string_view reply, size_t offset);

// Appends the decoded name to text (which must be empty on entry; its length
// counts against the name limit). Fails as readName does.
[[nodiscard]] Status appendName(std::string_view reply, size_t offset, std::string& text);

// The offset just past the name at offset, without following pointers.
[[nodiscard]] Result<size_t> skipName(std::string_view reply, size_t offset);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_RESPONSE_H_
