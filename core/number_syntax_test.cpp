#include "core/number_syntax.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tollbrook {
namespace {

template <typename T>
std::string show(const std::optional<T>& value) {
  return value ? std::to_string(*value) : std::string("invalid");
}

TEST(NumberSyntax, Unsigned) {
  constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
  struct Case {
    std::string text;
    uint64_t max;
    std::string want;
  };
  const Case cases[] = {
      {"0", 10, "0"},
      {"7", 10, "7"},
      {"+7", 10, "7"},
      {"10", 10, "10"},
      {"11", 10, "invalid"},
      {"007", 10, "7"},
      {"1_000", 5000, "1000"},
      {"1_0_0_0", 5000, "1000"},
      {"_1", 10, "invalid"},
      {"1_", 10, "invalid"},
      {"1__0", 100, "10"},
      {"1_2__3", 200, "123"},
      {"1__", 100, "invalid"},
      {"__1", 100, "invalid"},
      {"+_1", 10, "invalid"},
      {"-0", 10, "0"},
      {"-0_0", 10, "0"},
      {"-1", 10, "invalid"},
      {"", 10, "invalid"},
      {"+", 10, "invalid"},
      {"-", 10, "invalid"},
      {"++1", 10, "invalid"},
      {"+-0", 10, "invalid"},
      {" 1", 10, "invalid"},
      {"1 ", 10, "invalid"},
      {"1a", 10, "invalid"},
      {"0x10", 100, "invalid"},
      {"1.5", 10, "invalid"},
      {"18446744073709551615", kMax64, "18446744073709551615"},
      {"18446744073709551616", kMax64, "invalid"},
      {"99999999999999999999999", kMax64, "invalid"},
      {"256", 255, "invalid"},
      {"255", 255, "255"},
      {"0", 0, "0"},
      {"1", 0, "invalid"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(parseUnsignedNumber(c.text, c.max)), c.want)
        << "input \"" << c.text << "\" max " << c.max;
  }
}

TEST(NumberSyntax, Signed) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"42", "42"},
      {"+42", "42"},
      {"-42", "-42"},
      {"-1_000", "-1000"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "invalid"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "invalid"},
      {"--1", "invalid"},
      {"-_1", "invalid"},
      {"", "invalid"},
      {"1_", "invalid"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(parseSignedNumber(c.text)), c.want) << "input \"" << c.text << "\"";
  }
}

}  // namespace
}  // namespace tollbrook
