// Test-only helpers that render bytes readably in failure messages. Included
// by test sources only; header-only.
#ifndef TOLLBROOK_CORE_TEST_TEXT_H_
#define TOLLBROOK_CORE_TEST_TEXT_H_

#include <string>
#include <string_view>

namespace tollbrook::testing {

// Lower-case hex digits, two per byte.
inline std::string hexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

// CR, LF and HT written as \r, \n and \t; every other byte as it is.
inline std::string spellLineBytes(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_CORE_TEST_TEXT_H_
