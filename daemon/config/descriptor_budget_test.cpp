#include "daemon/config/descriptor_budget.h"

#include <gtest/gtest.h>

#include <limits>

namespace tollbrook {
namespace {

TEST(DescriptorBudget, SaturatesInsteadOfWrapping) {
  constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
  constexpr uint64_t kCeiling = std::numeric_limits<int64_t>::max();
  constexpr size_t kMaxSize = std::numeric_limits<size_t>::max();
  struct Case {
    uint32_t workers;
    uint32_t maxConnections;
    size_t listeners;
    uint64_t want;
  };
  const Case cases[] = {
      {8, 256, 1, 2144},  // 8 x 260 + 64
      {1, 0, 0, 67},
      {0, 256, 1, 64},
      {65536, kMax32, 2, 65536 * (uint64_t{kMax32} + 5) + 64},
      {kMax32, kMax32, 2, kCeiling},  // the true product passes 64 bits
      {kMax32, kMax32, kMaxSize, kCeiling},
      {2, 0, kMaxSize - 1, kCeiling},
      {1, 0, kCeiling - 68, kCeiling - 1},
      {1, 0, kCeiling - 67, kCeiling},
  };
  for (const auto& c : cases) {
    uint64_t got = descriptorsWanted(c.workers, c.maxConnections, c.listeners);
    EXPECT_EQ(got, c.want) << "input " << c.workers << " workers, " << c.maxConnections
                           << " connections, " << c.listeners << " listeners: got " << got
                           << ", want " << c.want;
  }
}

}  // namespace
}  // namespace tollbrook
