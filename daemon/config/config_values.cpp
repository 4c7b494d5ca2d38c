#include "daemon/config/config_values.h"

#include <limits>

#include "base/ascii.h"
#include "core/number_syntax.h"

namespace tollbrook {

namespace {

constexpr bool isSpaceOrTab(char c) {
  return c == ' ' || c == '\t';
}

constexpr std::string_view trimSpaceOrTab(std::string_view text) {
  return trimBoth(text, isSpaceOrTab);
}

// The multiplier of a size suffix, 1 without one; removes the suffix.
uint64_t takeSizeSuffix(std::string_view& text) {
  if (text.size() >= 2 && (text.back() == 'b' || text.back() == 'B')) text.remove_suffix(1);
  if (text.empty()) return 1;
  switch (text.back()) {
    case 'k':
    case 'K':
      text.remove_suffix(1);
      return uint64_t{1} << 10;
    case 'm':
    case 'M':
      text.remove_suffix(1);
      return uint64_t{1} << 20;
    case 'g':
    case 'G':
      text.remove_suffix(1);
      return uint64_t{1} << 30;
    default:
      return 1;
  }
}

constexpr bool isOctalDigit(char c) {
  return c >= '0' && c <= '7';
}

// The shared number syntax in radix 8: optional sign ("-" only for zero),
// digits with "_" between them but not first or last.
std::optional<uint64_t> parseOctal(std::string_view text, uint64_t max) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !isOctalDigit(text.front()) || !isOctalDigit(text.back())) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c == '_') continue;
    if (!isOctalDigit(c)) return std::nullopt;
    value = value * 8 + static_cast<uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

}  // namespace

uint64_t unsignedOrDefault(std::optional<std::string_view> value, uint64_t max, uint64_t fallback) {
  if (!value) return fallback;
  return parseUnsignedNumber(*value, max).value_or(fallback);
}

uint64_t byteSizeOrDefault(std::optional<std::string_view> value, uint64_t fallback) {
  if (!value) return fallback;
  std::string_view text = trimSpaceOrTab(*value);
  uint64_t multiplier = takeSizeSuffix(text);
  auto count = parseUnsignedNumber(trimSpaceOrTab(text), std::numeric_limits<uint64_t>::max());
  if (!count) return fallback;
  if (*count > std::numeric_limits<uint64_t>::max() / multiplier) return fallback;
  return *count * multiplier;
}

bool booleanOrDefault(std::optional<std::string_view> value, bool fallback) {
  if (!value) return fallback;
  for (std::string_view word : {"yes", "true", "1"}) {
    if (asciiEqualsIgnoreCase(*value, word)) return true;
  }
  for (std::string_view word : {"no", "false", "0"}) {
    if (asciiEqualsIgnoreCase(*value, word)) return false;
  }
  return fallback;
}

Result<uint16_t> parseUmask(std::string_view value) {
  auto mode = parseOctal(trimSpaceOrTab(value), std::numeric_limits<uint16_t>::max());
  if (!mode) return fail(Error::InvalidMode);
  return static_cast<uint16_t>(*mode);
}

uint32_t secondsToMilliseconds(uint32_t seconds) {
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  return seconds > kMax / 1000 ? kMax : seconds * 1000;
}

int64_t evaluationMsOrDefault(std::optional<std::string_view> value, int64_t fallback) {
  if (!value) return fallback;
  auto ms = parseSignedNumber(*value);
  if (!ms || *ms < 0) return fallback;
  return *ms;
}

std::vector<std::string_view> splitList(std::string_view value) {
  std::vector<std::string_view> items;
  for (;;) {
    size_t comma = value.find(',');
    std::string_view item = trimSpaceOrTab(value.substr(0, comma));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

}  // namespace tollbrook
