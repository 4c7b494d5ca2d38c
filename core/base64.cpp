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

// One pass over the text: folding space is skipped, whole quads of alphabet
// characters are decoded four at a time, and what the checks below need is
// noted on the way. Signatures are decoded on every message, several per
// chain, so this avoids the compact copy and the separate checking passes.
// The checks and their order are those of the rule as written: the length
// without folding space must be a multiple of 4; before the first '=' only
// alphabet characters; after it only '='; as many '=' as the last quad lacks,
// and the unused bits of its last character zero.
Result<std::string> base64Decode(std::string_view text) {
  std::string bytes;
  try {
    bytes.resize(text.size() / 4 * 3 + 3);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  size_t written = 0;
  size_t compactLength = 0;  // characters other than folding space
  size_t dataLength = 0;     // of those, the ones before the first '='
  bool invalid = false, junkAfterPad = false, afterPad = false;
  uint32_t quad = 0;
  int quadChars = 0;
  uint8_t last = 0;
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    if (quadChars == 0 && !afterPad && i + 4 <= n) {
      const uint8_t a = sextet(text[i]), b = sextet(text[i + 1]), c = sextet(text[i + 2]),
                    d = sextet(text[i + 3]);
      if ((a | b | c | d) < 64) {
        const uint32_t group = uint32_t{a} << 18 | uint32_t{b} << 12 | uint32_t{c} << 6 | d;
        out[written] = static_cast<unsigned char>(group >> 16);
        out[written + 1] = static_cast<unsigned char>(group >> 8);
        out[written + 2] = static_cast<unsigned char>(group);
        written += 3;
        compactLength += 4;
        dataLength += 4;
        last = d;
        i += 4;
        continue;
      }
    }
    const char ch = text[i++];
    if (isFoldingSpace(ch)) continue;
    ++compactLength;
    if (afterPad || ch == '=') {
      afterPad = true;
      junkAfterPad = junkAfterPad || ch != '=';
      continue;
    }
    ++dataLength;
    const uint8_t s = sextet(ch);
    if (s == kInvalid) {
      invalid = true;
      continue;
    }
    last = s;
    quad = quad << 6 | s;
    if (++quadChars == 4) {
      out[written] = static_cast<unsigned char>(quad >> 16);
      out[written + 1] = static_cast<unsigned char>(quad >> 8);
      out[written + 2] = static_cast<unsigned char>(quad);
      written += 3;
      quad = 0;
      quadChars = 0;
    }
  }
  if (compactLength % 4 != 0) return fail(Error::InvalidPadding);
  if (invalid) return fail(Error::InvalidCharacter);
  if (junkAfterPad) return fail(Error::InvalidPadding);
  const size_t leftover = dataLength % 4;
  const size_t padding = compactLength - dataLength;
  if (leftover == 1 || padding != (leftover == 0 ? 0 : 4 - leftover)) {
    return fail(Error::InvalidPadding);
  }
  // The bits of the last character that do not complete a byte must be zero.
  if (leftover == 2) {
    if ((last & 0x0F) != 0) return fail(Error::InvalidPadding);
    out[written++] = static_cast<unsigned char>(quad >> 4);
  } else if (leftover == 3) {
    if ((last & 0x03) != 0) return fail(Error::InvalidPadding);
    out[written] = static_cast<unsigned char>(quad >> 10);
    out[written + 1] = static_cast<unsigned char>(quad >> 2);
    written += 2;
  }
  bytes.resize(written);  // shrinks in place
  return bytes;
}

}  // namespace tollbrook
