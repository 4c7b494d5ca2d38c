#include "daemon/startup/fd_limit.h"

#include <gtest/gtest.h>

namespace tollbrook {
namespace {

TEST(DescriptorsNeeded, CountsEveryWorkersShareAndSaturates) {
  constexpr uint64_t kFixed = kWorkerFixedDescriptors;
  constexpr uint64_t kZmq = kWorkerZmqDescriptors;
  struct Case {
    DescriptorBudget budget;
    uint64_t want;
  } cases[] = {
      // 8 workers, MaxConnections 256, one listener.
      {{8, 1, 256, false}, 8 * (256 + 1 + kFixed) + kProcessDescriptors},
      {{8, 1, 256, true}, 8 * (256 + 1 + kFixed + kZmq) + kProcessDescriptors},
      {{1, 3, 0, false}, 3 + kFixed + kProcessDescriptors},
      {{0, 2, 100, true}, kProcessDescriptors},
      {{2, 0, UINT64_MAX - 1, false}, UINT64_MAX},
      {{UINT64_MAX, 1, 1, false}, UINT64_MAX},
      {{1, UINT64_MAX, UINT64_MAX, true}, UINT64_MAX},
  };
  for (const auto& c : cases) {
    const DescriptorBudget& b = c.budget;
    uint64_t got = descriptorsNeeded(b);
    EXPECT_EQ(got, c.want) << "workers " << b.workers << " listeners " << b.listeners
                           << " connections " << b.maxConnections << " zmq " << b.zmqEnabled
                           << ": got " << got << ", want " << c.want;
  }
}

}  // namespace
}  // namespace tollbrook
