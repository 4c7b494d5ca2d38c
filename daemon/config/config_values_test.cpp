#include "daemon/config/config_values.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using ::tollbrook::testing::show;

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

TEST(ConfigValues, UnsignedNumbersFallBackSilently) {
  struct Case {
    std::optional<std::string_view> value;
    uint64_t max;
    uint64_t want;
  };
  const Case cases[] = {
      {std::nullopt, 255, 7},    {"", 255, 7},      {"1_000", 5000, 1000},
      {"+12", 255, 12},          {"-0", 255, 0},    {"-5", 255, 7},
      {"abc", 255, 7},           {"255", 255, 255}, {"300", 255, 7},
      {"4294967296", kMax32, 7},
  };
  for (const auto& c : cases) {
    uint64_t got = unsignedOrDefault(c.value, c.max, 7);
    EXPECT_EQ(got, c.want) << "input " << (c.value ? show(*c.value) : "absent") << " max " << c.max
                           << ": got " << got << ", want " << c.want;
  }
}

TEST(ConfigValues, ByteSizes) {
  struct Case {
    std::string_view value;
    uint64_t want;
  };
  const Case cases[] = {
      {"10485760", 10485760},
      {"10M", 10485760},
      {"10 MB", 10485760},
      {"10mb", 10485760},
      {" \t10m\t ", 10485760},
      {"5b", 5},
      {"5B", 5},
      {"2k", 2048},
      {"2KB", 2048},
      {"1g", 1073741824},
      {"1_024", 1024},
      {"-0k", 0},
      {"b", 99},  // nothing before the b
      {"k", 99},  // a suffix without digits
      {"kb", 99},
      {"10 M B", 99},
      {"10x", 99},
      {"1.5M", 99},
      {"-1", 99},
      {"", 99},
      {"17179869184G", 99},  // 2^34 GiB is 2^64 bytes
      {"17179869183G", 17179869183ull << 30},
      {"18446744073709551615", kMax64},
      {"18446744073709551615b", kMax64},
      {"18446744073709551615k", 99},
  };
  for (const auto& c : cases) {
    uint64_t got = byteSizeOrDefault(c.value, 99);
    EXPECT_EQ(got, c.want) << "input " << show(c.value) << ": got " << got << ", want " << c.want;
  }
  EXPECT_EQ(byteSizeOrDefault(std::nullopt, 99), 99u);
}

TEST(ConfigValues, Booleans) {
  struct Case {
    std::optional<std::string_view> value;
    bool fallback;
    bool want;
  };
  const Case cases[] = {
      {"yes", false, true}, {"YES", false, true},   {"True", false, true},
      {"1", false, true},   {"no", true, false},    {"FALSE", true, false},
      {"0", true, false},   {"maybe", true, true},  {"maybe", false, false},
      {"", true, true},     {" yes", false, false}, {std::nullopt, true, true},
      {"on", false, false},
  };
  for (const auto& c : cases) {
    bool got = booleanOrDefault(c.value, c.fallback);
    EXPECT_EQ(got, c.want) << "input " << (c.value ? show(*c.value) : "absent") << " default "
                           << c.fallback << ": got " << got << ", want " << c.want;
  }
}

TEST(ConfigValues, UmaskIsOctalAndStrict) {
  struct Case {
    std::string_view value;
    int want;  // -1: InvalidMode
  };
  const Case cases[] = {
      {"027", 027},     {"27", 027},
      {" 0022\t", 022}, {"+7", 7},
      {"0", 0},         {"-0", 0},
      {"7_7_7", 0777},  {"177777", 0177777},
      {"200000", -1},   {"8", -1},
      {"09", -1},       {"", -1},
      {" ", -1},        {"-1", -1},
      {"0x1f", -1},     {"_7", -1},
      {"7_", -1},       {"999999999999999999999999", -1},
  };
  for (const auto& c : cases) {
    auto got = parseUmask(c.value);
    int gotValue = got ? *got : -1;
    EXPECT_EQ(gotValue, c.want) << "input " << show(c.value) << ": got 0" << std::oct << gotValue
                                << ", want 0" << c.want << std::dec;
    if (!got) {
      EXPECT_EQ(got.error(), Error::InvalidMode);
    }
  }
}

// A timeout whose milliseconds do not fit 32 bits must not wrap to a short one.
TEST(ConfigValues, TimeoutSecondsSaturateInMilliseconds) {
  struct Case {
    uint32_t seconds;
    uint32_t want;
  };
  const Case cases[] = {
      {0, 0}, {5, 5000}, {4294967, 4294967000u}, {4294968, kMax32}, {kMax32, kMax32},
  };
  for (const auto& c : cases) {
    uint32_t got = secondsToMilliseconds(c.seconds);
    EXPECT_EQ(got, c.want) << "input " << c.seconds << ": got " << got << ", want " << c.want;
  }
}

TEST(ConfigValues, EvaluationBudgetNeverNegative) {
  struct Case {
    std::optional<std::string_view> value;
    int64_t want;
  };
  const Case cases[] = {
      {std::nullopt, 20000},
      {"", 20000},
      {"0", 0},
      {"-0", 0},
      {"1_500", 1500},
      {"+250", 250},
      {"-1", 20000},
      {"-9223372036854775808", 20000},
      {"abc", 20000},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"9223372036854775808", 20000},
  };
  for (const auto& c : cases) {
    int64_t got = evaluationMsOrDefault(c.value, 20000);
    EXPECT_EQ(got, c.want) << "input " << (c.value ? show(*c.value) : "absent") << ": got " << got
                           << ", want " << c.want;
  }
}

TEST(ConfigValues, ListsDropEmptyItems) {
  struct Case {
    std::string_view value;
    std::string want;  // items joined with "|"
  };
  const Case cases[] = {
      {"", ""},
      {",, ,\t,", ""},
      {"a", "a"},
      {" a , b\t,,c ", "a|b|c"},
      {"spf,dkim", "spf|dkim"},
      {"a b, c", "a b|c"},
  };
  for (const auto& c : cases) {
    std::string got;
    for (std::string_view item : splitList(c.value)) {
      if (!got.empty()) got += "|";
      got += item;
    }
    EXPECT_EQ(got, c.want) << "input " << show(c.value);
  }
}

}  // namespace
}  // namespace tollbrook
