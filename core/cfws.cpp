#include "core/cfws.h"

#include "base/ascii.h"

namespace tollbrook {

size_t skipComment(std::string_view text, size_t pos) {
  size_t depth = 0;
  while (pos < text.size()) {
    char c = text[pos++];
    if (c == '\\') {
      if (pos < text.size()) ++pos;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return pos;
    }
  }
  return pos;
}

size_t skipQuotedString(std::string_view text, size_t pos) {
  ++pos;
  while (pos < text.size()) {
    char c = text[pos++];
    if (c == '\\') {
      if (pos < text.size()) ++pos;
    } else if (c == '"') {
      return pos;
    }
  }
  return pos;
}

size_t skipWord(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    char c = text[pos];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(') break;
    pos = c == '"' ? skipQuotedString(text, pos) : pos + 1;
  }
  return pos;
}

size_t skipSpaceAndComments(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    char c = text[pos];
    if (isFoldingSpace(c)) {
      ++pos;
    } else if (c == '(') {
      pos = skipComment(text, pos);
    } else {
      break;
    }
  }
  return pos;
}

}  // namespace tollbrook
