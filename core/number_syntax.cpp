#include "core/number_syntax.h"

#include "base/ascii.h"

namespace tollbrook {

namespace {

struct SignedMagnitude {
  bool negative = false;
  uint64_t magnitude = 0;
};

// Digits with '_' separators anywhere but first or last (a run of them is as
// good as one); nullopt on bad syntax or a value over limit.
std::optional<uint64_t> parseDigits(std::string_view digits, uint64_t limit) {
  if (digits.empty() || !isAsciiDigit(digits.front()) || !isAsciiDigit(digits.back())) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : digits) {
    if (c == '_') continue;
    if (!isAsciiDigit(c)) return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    if (digit > limit || value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<SignedMagnitude> parseSignAndDigits(std::string_view text, uint64_t limitPositive,
                                                  uint64_t limitNegative) {
  SignedMagnitude number;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    number.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  auto magnitude = parseDigits(text, number.negative ? limitNegative : limitPositive);
  if (!magnitude) return std::nullopt;
  number.magnitude = *magnitude;
  return number;
}

}  // namespace

std::optional<uint64_t> parseUnsignedNumber(std::string_view text, uint64_t max) {
  auto number = parseSignAndDigits(text, max, 0);
  if (!number) return std::nullopt;
  return number->magnitude;
}

std::optional<int64_t> parseSignedNumber(std::string_view text) {
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(INT64_MAX);
  auto number = parseSignAndDigits(text, kMaxPositive, kMaxPositive + 1);
  if (!number) return std::nullopt;
  if (!number->negative) return static_cast<int64_t>(number->magnitude);
  // -(2^63) has no positive counterpart; build it without overflowing.
  if (number->magnitude == kMaxPositive + 1) return INT64_MIN;
  return -static_cast<int64_t>(number->magnitude);
}

}  // namespace tollbrook
