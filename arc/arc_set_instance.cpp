#include "arc/arc_set_instance.h"

#include <cstddef>

#include "core/ascii.h"
#include "core/number_syntax.h"
#include "core/tag_list.h"

namespace tollbrook {
namespace {

// Skips one parenthesised comment starting at value[pos] == '('. Comments nest,
// a backslash quotes the next byte, and an unclosed comment runs to the end.
size_t skipComment(std::string_view value, size_t pos) {
  int depth = 0;
  while (pos < value.size()) {
    char c = value[pos++];
    if (c == '\\') {
      if (pos < value.size()) ++pos;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return pos;
    }
  }
  return pos;
}

size_t skipCommentsAndSpace(std::string_view value, size_t pos) {
  while (pos < value.size()) {
    if (isFoldingSpace(value[pos])) {
      ++pos;
    } else if (value[pos] == '(') {
      pos = skipComment(value, pos);
    } else {
      break;
    }
  }
  return pos;
}

bool expectByte(std::string_view value, size_t& pos, char wanted) {
  pos = skipCommentsAndSpace(value, pos);
  if (pos >= value.size() || value[pos] != wanted) return false;
  ++pos;
  return true;
}

// "i" "=" one or two digits ";" with comments and folding space anywhere
// between the pieces: the shape every sealer writes at the front of a value.
std::optional<uint8_t> readInstanceFastForm(std::string_view value) {
  size_t pos = 0;
  if (!expectByte(value, pos, 'i') || !expectByte(value, pos, '=')) return std::nullopt;
  pos = skipCommentsAndSpace(value, pos);
  unsigned number = 0;
  size_t digits = 0;
  while (digits < 2 && pos < value.size() && isAsciiDigit(value[pos])) {
    number = number * 10 + static_cast<unsigned>(value[pos] - '0');
    ++pos;
    ++digits;
  }
  if (digits == 0 || !expectByte(value, pos, ';')) return std::nullopt;
  return static_cast<uint8_t>(number);
}

std::optional<uint8_t> readInstanceTag(std::string_view value) {
  std::optional<std::string_view> text = findTag(value, "i");
  if (!text || text->empty() || text->front() == '-') return std::nullopt;
  std::optional<uint64_t> number = parseUnsignedNumber(*text, 255);
  if (!number) return std::nullopt;
  return static_cast<uint8_t>(*number);
}

}  // namespace

std::optional<uint8_t> readArcInstance(std::string_view value) {
  if (std::optional<uint8_t> fast = readInstanceFastForm(value)) return fast;
  return readInstanceTag(value);
}

}  // namespace tollbrook
