// Byte-level ASCII helpers shared by the message core: case folding that never
// consults the locale, and the whitespace classes of header and tag syntax.
// Pure functions; safe on any thread.
#ifndef TOLLBROOK_BASE_ASCII_H_
#define TOLLBROOK_BASE_ASCII_H_

#include <string_view>

namespace tollbrook {

constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool isAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

// Same length and equal bytes after mapping A-Z onto a-z; nothing else folds.
constexpr bool asciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

// SP, HTAB, CR, LF: the blanks of tag lists and Base64 text.
constexpr bool isFoldingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// isFoldingSpace plus VT and FF.
constexpr bool isAnySpace(char c) {
  return isFoldingSpace(c) || c == '\v' || c == '\f';
}

template <typename IsBlank>
constexpr std::string_view trimBoth(std::string_view text, IsBlank isBlank) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_ASCII_H_
