// Small helpers shared by the crypto tests: readable byte strings in failure
// messages, and the error of a Result that may hold a value.
#ifndef TOLLBROOK_CRYPTO_TEST_UTIL_H_
#define TOLLBROOK_CRYPTO_TEST_UTIL_H_

#include <string>
#include <string_view>

#include "core/error.h"

namespace tollbrook::testing {

// The error held, or Unexpected when the result holds a value.
template <typename T>
Error errorOf(const Result<T>& result) {
  return result ? Error::Unexpected : result.error();
}

// Quoted, with CR, LF, HTAB and other non-printing bytes escaped.
inline std::string show(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_CRYPTO_TEST_UTIL_H_
