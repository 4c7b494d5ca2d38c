// Fuzz target: arbitrary bytes as a tag=value list (an ARC-Seal or
// ARC-Message-Signature value, a key record). Checks what the readers promise:
// a found value is a trimmed view into the text, a list the validator accepts
// yields a value for the name of each of its tags, and the first NUL-free
// segment of the input names the tag that is looked up.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/tag_list.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool isFoldingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void checkValue(std::string_view text, std::optional<std::string_view> value) {
  if (!value || value->empty()) return;
  check(value->data() >= text.data() && value->data() + value->size() <= text.data() + text.size());
  check(!isFoldingSpace(value->front()) && !isFoldingSpace(value->back()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // "name\0list" asks for that name; without a NUL the common names are tried.
  const size_t nul = input.find('\0');
  const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);
  if (nul != std::string_view::npos)
    checkValue(text, tollbrook::findTag(text, input.substr(0, nul)));
  for (std::string_view name : {"i", "a", "b", "bh", "cv", "d", "h", "s", "t", "v", "p", "k"}) {
    checkValue(text, tollbrook::findTag(text, name));
  }
  if (!tollbrook::validateTagList(text)) return 0;
  // A valid list: every tag it holds can be found again by its name.
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view tag = text.substr(start, end - start);
    const size_t equals = tag.find('=');
    if (equals != std::string_view::npos) {
      std::string_view name = tag.substr(0, equals);
      while (!name.empty() && isFoldingSpace(name.front())) name.remove_prefix(1);
      while (!name.empty() && isFoldingSpace(name.back())) name.remove_suffix(1);
      check(tollbrook::findTag(text, name).has_value());
    }
    start = end + 1;
  }
  return 0;
}
