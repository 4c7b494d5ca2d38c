#include "arc/auth_results.h"

#include "core/ascii.h"

namespace tollbrook {
namespace {

// Position just past the comment that opens at `pos` (text[pos] == '(').
size_t skipComment(std::string_view text, size_t pos) {
  int depth = 0;
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

// Position just past the quoted string that opens at `pos` (text[pos] == '"').
size_t skipQuoted(std::string_view text, size_t pos) {
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

// The result token: up to SP, HTAB, LF, CR or '(', a quoted string taken whole.
std::string_view resultToken(std::string_view text, size_t pos) {
  size_t start = pos;
  while (pos < text.size()) {
    char c = text[pos];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '(') break;
    pos = (c == '"') ? skipQuoted(text, pos) : pos + 1;
  }
  return text.substr(start, pos - start);
}

std::optional<Resinfo> readResinfo(std::string_view piece) {
  size_t start = skipSpaceAndComments(piece, 0);
  if (start >= piece.size()) return std::nullopt;
  size_t equals = piece.find('=', start);
  if (equals == std::string_view::npos) return std::nullopt;
  std::string_view method = trimBoth(piece.substr(start, equals - start), isAnySpace);
  if (method.empty()) return std::nullopt;
  std::string_view result = resultToken(piece, skipSpaceAndComments(piece, equals + 1));
  if (result.empty()) return std::nullopt;
  return Resinfo{method, result};
}

}  // namespace

bool claimsAuthservId(std::string_view value, std::string_view authservId) {
  std::string_view rest = value;
  while (!rest.empty() && isAnySpace(rest.front())) rest.remove_prefix(1);
  if (rest.size() < authservId.size()) return false;
  if (!asciiEqualsIgnoreCase(rest.substr(0, authservId.size()), authservId)) return false;
  if (rest.size() == authservId.size()) return true;
  char after = rest[authservId.size()];
  return after == ' ' || after == '\t' || after == ';';
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

ResinfoScanner::ResinfoScanner(std::string_view value) {
  size_t semicolon = value.find(';');
  if (semicolon == std::string_view::npos) {
    done_ = true;
  } else {
    rest_ = value.substr(semicolon + 1);
  }
}

std::optional<Resinfo> ResinfoScanner::next() {
  while (!done_) {
    size_t semicolon = rest_.find(';');
    std::string_view piece = rest_.substr(0, semicolon);
    if (semicolon == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(semicolon + 1);
    }
    if (auto resinfo = readResinfo(piece)) return resinfo;
  }
  return std::nullopt;
}

}  // namespace tollbrook
