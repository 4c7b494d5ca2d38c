// Reading and skipping names in replies, with the limits that keep hostile
// compression (pointer loops, oversized labels, endless names) bounded.
#include "dns/response.h"

#include <new>

#include "dns/query.h"
#include "dns/wire_bytes.h"

namespace tollbrook {

namespace {

constexpr uint8_t kPointerMark = 0xc0;
constexpr uint8_t kMaxLabelByte = 63;

bool isPointer(uint8_t length) {
  return length >= kPointerMark;
}
// 64 to 191: the reserved and extended label forms, which we never accept.
bool isReservedLabel(uint8_t length) {
  return length > kMaxLabelByte && !isPointer(length);
}

}  // namespace

Result<size_t> skipName(std::string_view reply, size_t offset) {
  size_t labels = 0;
  while (true) {
    if (offset >= reply.size()) return fail(Error::PacketTooShort);
    uint8_t length = wireByte(reply, offset);
    if (length == 0) return offset + 1;
    if (isPointer(length)) {
      if (offset + 2 > reply.size()) return fail(Error::PacketTooShort);
      return offset + 2;
    }
    if (isReservedLabel(length)) return fail(Error::LabelTooLong);
    if (++labels > kMaxLabels) return fail(Error::TooManyLabels);
    offset += 1 + size_t{length};
  }
}

Status appendName(std::string_view reply, size_t offset, std::string& text) {
  int pointers = 0;
  while (offset < reply.size()) {
    uint8_t length = wireByte(reply, offset);
    if (length == 0) break;
    if (isPointer(length)) {
      if (offset + 2 > reply.size()) return fail(Error::PacketTooShort);
      size_t target = wireU16(reply, offset) & 0x3fff;
      if (target >= reply.size()) return fail(Error::InvalidPointer);
      if (++pointers > kMaxCompressionPointers) return fail(Error::TooManyPointers);
      offset = target;
      continue;
    }
    if (isReservedLabel(length)) return fail(Error::LabelTooLong);
    if (offset + 1 + length > reply.size()) return fail(Error::PacketTooShort);
    try {
      if (!text.empty()) text.push_back('.');
      text.append(reply.substr(offset + 1, length));
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    if (text.size() > kMaxDecodedNameLength) return fail(Error::NameTooLong);
    offset += 1 + size_t{length};
  }
  return {};
}

Result<std::string> readName(std::string_view reply, size_t offset) {
  try {
    std::string text;
    if (auto status = appendName(reply, offset, text); !status) return fail(status.error());
    return text;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
