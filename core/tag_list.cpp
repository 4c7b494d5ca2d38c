#include "core/tag_list.h"

#include <cstddef>

#include "base/ascii.h"

namespace tollbrook {

namespace {

constexpr size_t kMaxTags = 128;

std::string_view trimTagSpace(std::string_view text) {
  return trimBoth(text, isFoldingSpace);
}

std::string_view trimLookupSpace(std::string_view text) {
  return trimBoth(text, isAnySpace);
}

bool isValidTagName(std::string_view name) {
  if (name.empty() || !isAsciiLetter(name.front())) return false;
  for (char c : name.substr(1)) {
    if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '_') return false;
  }
  return true;
}

bool onlyTagSpace(std::string_view text) {
  return trimTagSpace(text).empty();
}

// The names seen so far, in a fixed table: a list never holds more than 128.
// The slots are plain pairs left unset until used, so starting a table costs
// nothing (every ARC field of every message is validated).
class TagNameTable {
 public:
  bool full() const { return count_ == kMaxTags; }
  bool contains(std::string_view name) const {
    for (size_t i = 0; i < count_; ++i) {
      if (std::string_view(names_[i].data, names_[i].size) == name) return true;
    }
    return false;
  }
  void add(std::string_view name) { names_[count_++] = {name.data(), name.size()}; }
  bool empty() const { return count_ == 0; }

 private:
  struct Name {
    const char* data;
    size_t size;
  };
  Name names_[kMaxTags];
  size_t count_ = 0;
};

Status checkTag(std::string_view segment, TagNameTable& names, const TagVisitor& visitor) {
  size_t equals = segment.find('=');
  if (equals == std::string_view::npos) return fail(Error::MissingEquals);
  std::string_view name = trimTagSpace(segment.substr(0, equals));
  if (!isValidTagName(name)) return fail(Error::InvalidTagName);
  if (names.full()) return fail(Error::TooManyTags);
  if (names.contains(name)) return fail(Error::DuplicateTagName);
  names.add(name);
  if (visitor.visit != nullptr) {
    visitor.visit(visitor.context, name, trimLookupSpace(segment.substr(equals + 1)));
  }
  return {};
}

}  // namespace

Status validateTagList(std::string_view text) {
  return validateTagList(text, TagVisitor{});
}

Status validateTagList(std::string_view text, const TagVisitor& visitor) {
  TagNameTable names;
  size_t position = 0;
  for (;;) {
    size_t semicolon = text.find(';', position);
    bool endedBySemicolon = semicolon != std::string_view::npos;
    std::string_view segment = trimTagSpace(
        text.substr(position, endedBySemicolon ? semicolon - position : std::string_view::npos));
    if (segment.empty()) {
      // A trailing ';' or trailing blanks end the list; an empty segment with
      // more tags behind it (";;" or a leading ';') is a malformed name.
      if (endedBySemicolon && !onlyTagSpace(text.substr(semicolon + 1))) {
        return fail(Error::InvalidTagName);
      }
      break;
    }
    if (auto checked = checkTag(segment, names, visitor); !checked) return checked;
    if (!endedBySemicolon) break;
    position = semicolon + 1;
  }
  if (names.empty()) return fail(Error::EmptyTagList);
  return {};
}

std::optional<std::string_view> findTag(std::string_view text, std::string_view name) {
  size_t position = 0;
  for (;;) {
    while (position < text.size() && (text[position] == ';' || isFoldingSpace(text[position]))) {
      ++position;
    }
    if (position == text.size()) return std::nullopt;
    // The '=' is searched past any ';', so a segment without one swallows the
    // next segment; validated lists never contain such a segment.
    size_t equals = text.find('=', position);
    if (equals == std::string_view::npos) return std::nullopt;
    size_t semicolon = text.find(';', equals + 1);
    std::string_view candidate = trimLookupSpace(text.substr(position, equals - position));
    std::string_view value = trimLookupSpace(
        text.substr(equals + 1, semicolon == std::string_view::npos ? std::string_view::npos
                                                                    : semicolon - equals - 1));
    if (candidate == name) return value;
    if (semicolon == std::string_view::npos) return std::nullopt;
    position = semicolon + 1;
  }
}

}  // namespace tollbrook
