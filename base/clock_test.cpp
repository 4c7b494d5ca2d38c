#include "base/clock.h"

#include <gtest/gtest.h>

#include <limits>

namespace tollbrook {
namespace {

TEST(Deadline, RemainingTimeIsBoundedAndNeverNegative) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* what;
    int64_t durationMs;
    int64_t atLeast;
    int64_t atMost;
  };
  const Case cases[] = {
      {"a past moment", -5000, 0, 0},
      {"now", 0, 0, 0},
      {"a second ahead", 1000, 1, 1000},
      {"the end of time, without overflow", kMax, kMax / 2, kMax},
  };
  for (const Case& c : cases) {
    const int64_t got = Deadline::after(c.durationMs).remainingMs();
    EXPECT_TRUE(got >= c.atLeast && got <= c.atMost)
        << "input " << c.what << ": got " << got << ", want " << c.atLeast << " to " << c.atMost;
  }
  EXPECT_TRUE(Deadline::after(0).passed());
  EXPECT_FALSE(Deadline::after(60'000).passed());
}

}  // namespace
}  // namespace tollbrook
