// Test-only helpers that render bytes readably in failure messages. Included
// by test sources only; header-only.
#ifndef TOLLBROOK_TESTSUPPORT_TEST_TEXT_H_
#define TOLLBROOK_TESTSUPPORT_TEST_TEXT_H_

#include <string>
#include <string_view>

namespace tollbrook::testing {

namespace test_text_detail {

// Two lower-case hex digits.
inline void appendHexByte(std::string& out, unsigned char c) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += kDigits[c >> 4];
  out += kDigits[c & 0xF];
}

// CR, LF and HT as \r, \n and \t; false, with nothing appended, for any other byte.
inline bool appendLineEscape(std::string& out, char c) {
  switch (c) {
    case '\r':
      out += "\\r";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      return false;
  }
}

}  // namespace test_text_detail

// Lower-case hex digits, two per byte.
inline std::string hexText(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) test_text_detail::appendHexByte(out, c);
  return out;
}

// CR, LF and HT written as \r, \n and \t; every other byte as it is.
inline std::string spellLineBytes(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (!test_text_detail::appendLineEscape(out, c)) out += c;
  }
  return out;
}

// Quoted, with CR, LF and HT as above and other non-printing bytes, '"' and
// '\' as \xHH.
inline std::string show(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    if (test_text_detail::appendLineEscape(out, c)) continue;
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      test_text_detail::appendHexByte(out, byte);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTSUPPORT_TEST_TEXT_H_
