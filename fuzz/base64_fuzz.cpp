// Fuzz target: arbitrary bytes through the Base64 decoder and encoder.
// Whatever decodes must encode to exactly 4 * ceil(n / 3) characters that
// decode back to the same bytes; the input itself, encoded, must come back
// unchanged; and the decoder must give the bytes or the error of the rule
// stated plainly, pass by pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base64.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The decoding rule, one step at a time: drop folding space; the length must
// be a multiple of 4; before the first '=' only the alphabet, after it only
// '='; as many '=' as the last quad lacks; unused bits of the last character
// zero.
tollbrook::Result<std::string> referenceDecode(std::string_view text) {
  using tollbrook::Error;
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string compact;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact.push_back(c);
  }
  if (compact.size() % 4 != 0) return std::unexpected(Error::InvalidPadding);
  const size_t data = std::min(compact.find('='), compact.size());
  for (size_t i = 0; i < data; ++i) {
    if (kAlphabet.find(compact[i]) == std::string_view::npos) {
      return std::unexpected(Error::InvalidCharacter);
    }
  }
  if (compact.find_first_not_of('=', data) != std::string::npos) {
    return std::unexpected(Error::InvalidPadding);
  }
  const size_t leftover = data % 4;
  if (leftover == 1 || compact.size() - data != (leftover == 0 ? 0 : 4 - leftover)) {
    return std::unexpected(Error::InvalidPadding);
  }
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < data; ++i) {
    bits = bits << 6 | static_cast<uint32_t>(kAlphabet.find(compact[i]));
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>(bits >> count));
    }
  }
  if (count > 0 && (bits & ((1u << count) - 1)) != 0) return std::unexpected(Error::InvalidPadding);
  return bytes;
}

void checkRoundTrip(std::string_view bytes) {
  tollbrook::Result<std::string> encoded = tollbrook::base64Encode(bytes);
  if (!encoded) return;  // out of memory only
  check(encoded->size() == 4 * ((bytes.size() + 2) / 3));
  tollbrook::Result<std::string> decoded = tollbrook::base64Decode(*encoded);
  check(decoded.has_value() && *decoded == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkRoundTrip(input);
  tollbrook::Result<std::string> decoded = tollbrook::base64Decode(input);
  check(decoded == referenceDecode(input));
  if (decoded) checkRoundTrip(*decoded);
  return 0;
}
