#include "dns/response.h"

#include <new>

#include "dns/wire_bytes.h"

namespace tollbrook {

namespace {

constexpr uint8_t kFlagTruncated = 0x02;
constexpr size_t kQuestionFixedLength = 4;  // QTYPE, QCLASS
constexpr size_t kAnswerFixedLength = 10;   // TYPE, CLASS, TTL, RDLENGTH
constexpr size_t kMxPreferenceLength = 2;

struct Header {
  uint16_t identifier;
  uint8_t rcode;
  bool truncated;
  uint16_t questions;
  uint16_t answers;
};

Header readHeader(std::string_view reply) {
  return Header{
      .identifier = wireU16(reply, 0),
      .rcode = replyRcode(reply),
      .truncated = (wireByte(reply, 2) & kFlagTruncated) != 0,
      .questions = wireU16(reply, 4),
      .answers = wireU16(reply, 6),
  };
}

Result<size_t> skipQuestions(std::string_view reply, size_t offset, uint16_t count) {
  for (uint16_t i = 0; i < count; ++i) {
    auto end = skipName(reply, offset);
    if (!end) return end;
    if (*end + kQuestionFixedLength > reply.size()) return fail(Error::PacketTooShort);
    offset = *end + kQuestionFixedLength;
  }
  return offset;
}

// Character-strings joined without separator; a string running past the RDATA
// ends the text.
void appendTxtStrings(std::string_view rdata, std::string& data) {
  size_t at = 0;
  while (at < rdata.size()) {
    size_t length = wireByte(rdata, at);
    if (at + 1 + length > rdata.size()) break;
    data.append(rdata.substr(at + 1, length));
    at += 1 + length;
  }
}

// rdataOffset is absolute: compressed target names point anywhere in the reply.
Status decodeRdata(std::string_view reply, size_t rdataOffset, size_t rdataLength,
                   DnsRecord& record) {
  std::string_view rdata = reply.substr(rdataOffset, rdataLength);
  switch (record.type) {
    case kDnsTypeTxt:
      appendTxtStrings(rdata, record.data);
      return {};
    case kDnsTypeCname:
    case kDnsTypePtr:
      return appendName(reply, rdataOffset, record.data);
    case kDnsTypeMx:
      if (rdataLength <= kMxPreferenceLength) return fail(Error::PacketTooShort);
      return appendName(reply, rdataOffset + kMxPreferenceLength, record.data);
    default:
      record.data.assign(rdata);
      return {};
  }
}

// Reads one answer at offset into records. Returns the offset after it, or the
// reply size when the answer is cut short (decoding then stops).
Result<size_t> readAnswer(std::string_view reply, size_t offset, std::vector<DnsRecord>& records) {
  DnsRecord record;
  if (auto status = appendName(reply, offset, record.name); !status) return fail(status.error());
  auto fixed = skipName(reply, offset);
  if (!fixed) return fixed;
  if (*fixed + kAnswerFixedLength > reply.size()) return reply.size();
  record.type = wireU16(reply, *fixed);
  record.ttl = wireU32(reply, *fixed + 4);
  size_t rdataLength = wireU16(reply, *fixed + 8);
  size_t rdataOffset = *fixed + kAnswerFixedLength;
  if (rdataOffset + rdataLength > reply.size()) return reply.size();
  if (auto status = decodeRdata(reply, rdataOffset, rdataLength, record); !status) {
    return fail(status.error());
  }
  records.push_back(std::move(record));
  return rdataOffset + rdataLength;
}

Result<DnsResponse> decode(std::string_view reply) {
  if (reply.size() < kDnsHeaderLength) return fail(Error::PacketTooShort);
  Header header = readHeader(reply);
  DnsResponse response{.identifier = header.identifier,
                       .rcode = header.rcode,
                       .truncated = header.truncated,
                       .records = {}};
  auto offset = skipQuestions(reply, kDnsHeaderLength, header.questions);
  if (!offset) return fail(offset.error());
  size_t at = *offset;
  for (uint16_t read = 0; read < header.answers && at < reply.size(); ++read) {
    auto next = readAnswer(reply, at, response.records);
    if (!next) return fail(next.error());
    at = *next;
  }
  return response;
}

}  // namespace

std::string_view rcodeName(uint8_t rcode) {
  switch (rcode) {
    case kRcodeServerFailure:
      return "server_failure";
    case kRcodeNotImplemented:
      return "not_implemented";
    case kRcodeRefused:
      return "refused";
    default:
      return "format_error";
  }
}

Result<DnsResponse> parseResponse(std::string_view reply) {
  try {
    return decode(reply);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
