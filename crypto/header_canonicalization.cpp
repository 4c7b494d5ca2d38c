// The c= reader and the simple and relaxed header forms.
#include <cstring>
#include <new>

#include "base/ascii.h"
#include "crypto/canonicalization.h"
#include "crypto/word_scan.h"

namespace tollbrook {
namespace {

constexpr std::string_view kSimple = "simple";
constexpr std::string_view kRelaxed = "relaxed";

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
[[nodiscard]] Result<CanonicalizationMode> parseComponent(std::string_view text) {
  if (text == kSimple) return CanonicalizationMode::Simple;
  if (text == kRelaxed) return CanonicalizationMode::Relaxed;
  return fail(Error::InvalidCanonicalization);
}

void appendRelaxedName(std::string& out, std::string_view name) {
  while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
  for (char c : name) out.push_back(asciiLower(c));
}

// True when the bytes at `i` are a fold: CR LF or a bare LF, then SP or HTAB.
// Returns the fold's line-end length in `length`.
bool foldAt(std::string_view value, size_t i, size_t& length) {
  size_t end = i;
  if (value[end] == '\r' && end + 1 < value.size() && value[end + 1] == '\n') ++end;
  if (value[end] != '\n' || end + 1 >= value.size() || !isBlank(value[end + 1])) return false;
  length = end + 1 - i;
  return true;
}

// Unfolds and squeezes blanks; the caller trims. Writes at most value.size()
// bytes, which the caller has reserved, so it writes through a pointer. This
// runs over every signed header field of every set of a chain, most of it
// Base64 and tag text, so runs of bytes above SP are found a word at a time
// and copied whole; only blanks, folds and other control bytes are looked at
// one by one. Leading blanks are never written (the trim would remove them).
void appendRelaxedValue(std::string& out, std::string_view value) {
  const size_t start = out.size();
  out.resize_and_overwrite(start + value.size(), [&](char* buffer, size_t) {
    const char* data = value.data();
    const size_t n = value.size();
    char* write = buffer + start;
    bool pendingSpace = false;
    auto copyContent = [&](const char* from, size_t length) {
      if (pendingSpace && write != buffer + start) *write++ = ' ';
      pendingSpace = false;
      std::memcpy(write, from, length);
      write += length;
    };
    for (size_t i = 0; i < n;) {
      const size_t runEnd = word_scan::printableRunEnd(data, i, n);
      if (runEnd > i) {
        copyContent(data + i, runEnd - i);
        i = runEnd;
        continue;
      }
      const char c = data[i];
      size_t foldLength = 0;
      if (isBlank(c)) {
        pendingSpace = true;
        ++i;
      } else if ((c == '\r' || c == '\n') && foldAt(value, i, foldLength)) {
        pendingSpace = true;
        i += foldLength;
      } else {
        copyContent(data + i, 1);
        ++i;
      }
    }
    return static_cast<size_t>(write - buffer);
  });
}

// Trims SP, HTAB, CR and LF from both ends of out[from, end).
void trimTail(std::string& out, size_t from) {
  size_t begin = from;
  while (begin < out.size() && isFoldingSpace(out[begin])) ++begin;
  size_t end = out.size();
  while (end > begin && isFoldingSpace(out[end - 1])) --end;
  out.resize(end);
  out.erase(from, begin - from);
}

}  // namespace

std::string_view canonicalizationName(CanonicalizationMode mode) {
  return mode == CanonicalizationMode::Relaxed ? kRelaxed : kSimple;
}

Result<Canonicalization> parseCanonicalization(std::string_view text) {
  Canonicalization result;
  if (text.empty()) return result;
  const size_t slash = text.find('/');
  auto header = parseComponent(text.substr(0, slash));
  if (!header) return fail(header.error());
  result.header = *header;
  if (slash == std::string_view::npos) return result;
  auto body = parseComponent(text.substr(slash + 1));
  if (!body) return fail(body.error());
  result.body = *body;
  return result;
}

Status appendCanonicalHeader(std::string& out, CanonicalizationMode mode, std::string_view name,
                             bool spaceAfterColon, std::string_view value) {
  try {
    // One reservation up front: neither form ever grows the text, so nothing
    // below can throw and `out` is either untouched or complete.
    out.reserve(out.size() + name.size() + value.size() + 2);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (mode == CanonicalizationMode::Simple) {
    out.append(name);
    out.push_back(':');
    if (spaceAfterColon) out.push_back(' ');
    out.append(value);
    return {};
  }
  // The space after the colon would be trimmed away with the value's other
  // leading blanks, so the relaxed form does not depend on it.
  appendRelaxedName(out, name);
  out.push_back(':');
  const size_t valueStart = out.size();
  appendRelaxedValue(out, value);
  trimTail(out, valueStart);
  return {};
}

Status appendCanonicalHeaderText(std::string& out, CanonicalizationMode mode,
                                 std::string_view headerText) {
  const size_t colon = headerText.find(':');
  if (colon == std::string_view::npos) {
    if (mode == CanonicalizationMode::Relaxed) return fail(Error::MalformedHeader);
    try {
      out.append(headerText);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    return {};
  }
  return appendCanonicalHeader(out, mode, headerText.substr(0, colon), false,
                               headerText.substr(colon + 1));
}

Result<std::string> canonicalizeHeader(CanonicalizationMode mode, std::string_view headerText) {
  std::string out;
  if (auto status = appendCanonicalHeaderText(out, mode, headerText); !status) {
    return fail(status.error());
  }
  return out;
}

}  // namespace tollbrook
