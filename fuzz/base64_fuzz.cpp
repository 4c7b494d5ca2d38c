// Fuzz target: arbitrary bytes through the Base64 decoder and encoder.
// Whatever decodes must encode to exactly 4 * ceil(n / 3) characters that
// decode back to the same bytes; the input itself, encoded, must come back
// unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base64.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
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
  if (decoded) checkRoundTrip(*decoded);
  return 0;
}
