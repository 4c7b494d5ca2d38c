#include "core/folding_writer.h"

#include <cstring>
#include <new>

#include "base/ascii.h"
#include "core/cfws.h"

namespace tollbrook {

namespace {

constexpr std::string_view kFold = "\r\n\t";
constexpr size_t kMaxTagLength = 160;

std::string_view withoutTrailingBlanks(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Whitespace between appendText tokens.
bool isTextSpace(char c) {
  return isAnySpace(c);
}

size_t tokenEnd(std::string_view text, size_t start) {
  return text[start] == '(' ? skipComment(text, start) : skipWord(text, start);
}

}  // namespace

// Every append reserves its whole growth first, so an allocation failure
// leaves the buffer exactly as it was before the call.
Status FoldingWriter::appendItem(std::string_view separator, std::string_view item) {
  try {
    if (column_ >= 2 && column_ + separator.size() + item.size() > kWidth) {
      std::string_view kept = withoutTrailingBlanks(separator);
      buffer_.reserve(buffer_.size() + kept.size() + kFold.size() + item.size());
      buffer_.append(kept).append(kFold);
      column_ = 1;
    } else {
      buffer_.reserve(buffer_.size() + separator.size() + item.size());
      buffer_.append(separator);
      column_ += separator.size();
    }
    buffer_.append(item);
    column_ += item.size();
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Status FoldingWriter::appendTag(std::string_view name, std::string_view value) {
  char scratch[kMaxTagLength];
  size_t length = name.size() + 1 + value.size();
  if (name.size() >= kMaxTagLength || length > kMaxTagLength) return fail(Error::BuildFailed);
  std::memcpy(scratch, name.data(), name.size());
  scratch[name.size()] = '=';
  if (!value.empty()) std::memcpy(scratch + name.size() + 1, value.data(), value.size());
  return appendItem(buffer_.empty() ? "" : "; ", std::string_view(scratch, length));
}

Status FoldingWriter::appendText(std::string_view separator, std::string_view text) {
  size_t sizeBefore = buffer_.size();
  size_t columnBefore = column_;
  Status appended = appendTokens(separator, text);
  if (!appended) {
    // Shrinking never allocates: the text is either written whole or not at all.
    buffer_.resize(sizeBefore);
    column_ = columnBefore;
  }
  return appended;
}

Status FoldingWriter::appendTokens(std::string_view separator, std::string_view text) {
  size_t position = 0;
  bool first = true;
  for (;;) {
    size_t tokenStart = position;
    while (tokenStart < text.size() && isTextSpace(text[tokenStart])) ++tokenStart;
    if (tokenStart == text.size()) return {};
    bool spaced = tokenStart > position;
    size_t end = tokenEnd(text, tokenStart);
    std::string_view token = text.substr(tokenStart, end - tokenStart);
    std::string_view before = first ? separator : (spaced ? " " : "");
    // A fold goes only where the text has a blank (or at the start of the
    // value, after the header's ": "). Folding between tokens that touch, as
    // in "a(b)", would add whitespace the text does not have; such a line runs
    // long instead.
    bool mayFold = (buffer_.empty() && before.empty()) ||
                   before.find_first_of(" \t") != std::string_view::npos;
    Status appended = mayFold ? appendItem(before, token) : appendRaw(before);
    if (appended && !mayFold) appended = appendRaw(token);
    if (!appended) return appended;
    first = false;
    position = end;
  }
}

Status FoldingWriter::appendSignature(std::string_view text) {
  try {
    // Reserve for the worst case: a fold before every full line.
    buffer_.reserve(buffer_.size() + text.size() + kFold.size() * (text.size() / (kWidth - 1) + 2));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  while (!text.empty()) {
    if (column_ >= kWidth && column_ >= 2) {
      buffer_.append(kFold);
      column_ = 1;
    }
    size_t room = kWidth - (column_ < kWidth - 1 ? column_ : kWidth - 1);
    size_t count = room < text.size() ? room : text.size();
    buffer_.append(text.substr(0, count));
    column_ += count;
    text.remove_prefix(count);
  }
  return {};
}

Status FoldingWriter::appendRaw(std::string_view bytes) {
  try {
    buffer_.append(bytes);
    column_ += bytes.size();
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Status FoldingWriter::fold() {
  try {
    buffer_.append(kFold);
    column_ = 1;
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
