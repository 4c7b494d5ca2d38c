#include "arc/verdict_field.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

TEST(VerdictField, ResinfoStartsOnTheSecondLineWithTheReasonAsComment) {
  struct Case {
    std::string_view result;
    std::optional<std::string_view> reason;
    std::string_view want;
  } cases[] = {
      {"pass", std::nullopt, "auth1;\r\n\tarc=pass"},
      {"none", std::nullopt, "auth1;\r\n\tarc=none"},
      {"fail", "broken ARC chain: missing instance",
       "auth1;\r\n\tarc=fail (broken ARC chain: missing instance)"},
      {"fail", "a (b) c\\d", "auth1;\r\n\tarc=fail (a \\(b\\) c\\\\d)"},
      {"temperror", std::string_view("x\r\ny\x7f\tz", 7), "auth1;\r\n\tarc=temperror (x??y??z)"},
      {"fail", "", "auth1;\r\n\tarc=fail ()"},
  };
  for (const Case& c : cases) {
    auto got = formatVerdictField("auth1", c.result, c.reason);
    ASSERT_TRUE(got.has_value()) << c.result;
    EXPECT_EQ(*got, c.want) << "result " << c.result << " reason " << c.reason.value_or("(none)");
  }
}

TEST(VerdictField, LongReasonFoldsBeforeTheComment) {
  // The comment is one token: it moves to a line of its own rather than split.
  std::string reason(70, 'r');
  auto got = formatVerdictField("auth1", "fail", reason);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, "auth1;\r\n\tarc=fail\r\n\t(" + reason + ")");
}

TEST(VerdictField, AllocationFailureIsOutOfMemory) {
  testing::forEachAllocationFailure([] {
    auto got = formatVerdictField("auth1", "fail", "broken ARC chain");
    if (!got) {
      EXPECT_EQ(got.error(), Error::OutOfMemory);
    } else {
      EXPECT_EQ(*got, "auth1;\r\n\tarc=fail (broken ARC chain)");
    }
  });
}

}  // namespace
}  // namespace tollbrook
