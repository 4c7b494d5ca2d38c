#include "arc/auth_results.h"

#include "base/ascii.h"
#include "core/cfws.h"

namespace tollbrook {
namespace {

// The result token: up to SP, HTAB, LF, CR or '(', a quoted string taken whole.
std::string_view resultToken(std::string_view text, size_t pos) {
  return text.substr(pos, skipWord(text, pos) - pos);
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
