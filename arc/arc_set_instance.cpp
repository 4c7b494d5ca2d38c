#include "arc/arc_set_instance.h"

#include <cstddef>

#include "base/ascii.h"
#include "core/cfws.h"
#include "core/number_syntax.h"
#include "core/tag_list.h"

namespace tollbrook {
namespace {

bool expectByte(std::string_view value, size_t& pos, char wanted) {
  pos = skipSpaceAndComments(value, pos);
  if (pos >= value.size() || value[pos] != wanted) return false;
  ++pos;
  return true;
}

// "i" "=" one or two digits ";" with comments and folding space anywhere
// between the pieces: the shape every sealer writes at the front of a value.
std::optional<uint8_t> readInstanceFastForm(std::string_view value) {
  size_t pos = 0;
  if (!expectByte(value, pos, 'i') || !expectByte(value, pos, '=')) return std::nullopt;
  pos = skipSpaceAndComments(value, pos);
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
