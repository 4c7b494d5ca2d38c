#include "core/base64.h"

#include <array>
#include <cstdint>
#include <new>

#include "base/ascii.h"

namespace tollbrook {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeDecodeTable() {
  std::array<uint8_t, 256> table{};
  table.fill(kInvalid);
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> kDecode = makeDecodeTable();

uint8_t sextet(char c) {
  return kDecode[static_cast<uint8_t>(c)];
}

bool containsFoldingSpace(std::string_view text) {
  for (char c : text) {
    if (isFoldingSpace(c)) return true;
  }
  return false;
}

std::string withoutFoldingSpace(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  for (char c : text) {
    if (!isFoldingSpace(c)) compact.push_back(c);
  }
  return compact;
}

// Checks the alphabet and the padding of compact text (length a multiple of
// 4); on success sets dataLength to the characters before the padding.
Status checkCompact(std::string_view text, size_t& dataLength) {
  size_t padStart = text.find('=');
  dataLength = padStart == std::string_view::npos ? text.size() : padStart;
  for (size_t i = 0; i < dataLength; ++i) {
    if (sextet(text[i]) == kInvalid) return fail(Error::InvalidCharacter);
  }
  for (size_t i = dataLength; i < text.size(); ++i) {
    if (text[i] != '=') return fail(Error::InvalidPadding);
  }
  size_t leftover = dataLength % 4;
  size_t padding = text.size() - dataLength;
  size_t needed = leftover == 0 ? 0 : 4 - leftover;
  if (leftover == 1 || padding != needed) return fail(Error::InvalidPadding);
  // The bits of the last character that do not complete a byte must be zero.
  if (leftover == 2 && (sextet(text[dataLength - 1]) & 0x0F) != 0) {
    return fail(Error::InvalidPadding);
  }
  if (leftover == 3 && (sextet(text[dataLength - 1]) & 0x03) != 0) {
    return fail(Error::InvalidPadding);
  }
  return {};
}

// Decodes checked text; the output is sized before any byte is written.
std::string decodeChecked(std::string_view text, size_t dataLength) {
  std::string bytes;
  bytes.resize(dataLength / 4 * 3 + (dataLength % 4 == 0 ? 0 : dataLength % 4 - 1));
  size_t out = 0;
  uint32_t accumulator = 0;
  int bits = 0;
  for (size_t i = 0; i < dataLength; ++i) {
    accumulator = (accumulator << 6) | sextet(text[i]);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes[out++] = static_cast<char>((accumulator >> bits) & 0xFF);
    }
  }
  return bytes;
}

Result<std::string> decodeCompact(std::string_view text) {
  if (text.size() % 4 != 0) return fail(Error::InvalidPadding);
  size_t dataLength = 0;
  if (auto checked = checkCompact(text, dataLength); !checked) return fail(checked.error());
  return decodeChecked(text, dataLength);
}

}  // namespace

Result<std::string> base64Encode(std::string_view bytes) {
  try {
    std::string text((bytes.size() + 2) / 3 * 4, '=');
    size_t out = 0;
    size_t i = 0;
    auto byteAt = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
      uint32_t group = byteAt(i) << 16 | byteAt(i + 1) << 8 | byteAt(i + 2);
      text[out++] = kAlphabet[(group >> 18) & 0x3F];
      text[out++] = kAlphabet[(group >> 12) & 0x3F];
      text[out++] = kAlphabet[(group >> 6) & 0x3F];
      text[out++] = kAlphabet[group & 0x3F];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
      uint32_t group = byteAt(i) << 16 | (rest == 2 ? byteAt(i + 1) << 8 : 0);
      text[out++] = kAlphabet[(group >> 18) & 0x3F];
      text[out++] = kAlphabet[(group >> 12) & 0x3F];
      if (rest == 2) text[out] = kAlphabet[(group >> 6) & 0x3F];
    }
    return text;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<std::string> base64Decode(std::string_view text) {
  try {
    // Folded values (signatures split over header lines) need a compact copy;
    // the common unfolded case is decoded straight from the caller's text.
    if (!containsFoldingSpace(text)) return decodeCompact(text);
    std::string compact = withoutFoldingSpace(text);
    return decodeCompact(compact);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
