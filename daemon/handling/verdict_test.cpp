// The verdict field: what is queued, where the in-memory copy goes, and that
// a failure leaves neither the queue nor the header list half changed.
#include "daemon/handling/verdict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/milter/replies.h"
#include "tests/handling_unit_support.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook::testing {
namespace {

TEST(VerdictField, QueuedWithTheNegotiatedLeadingSpaceAndLfFolds) {
  for (uint32_t flags : {kSmfipHdrLeadSpc, 0u}) {
    std::unique_ptr<MilterConnection> connection =
        connectionWith("From: a@example.org", "", kSmfifAddHdrs, flags);
    ASSERT_TRUE(queueVerdictField(*connection, "mx.test", EventResult::Fail, "a (b)"));
    const std::string queued(unwrittenReplies(*connection));
    const std::string value =
        flags != 0 ? " mx.test;\n\tarc=fail (a \\(b\\))" : "mx.test;\n\tarc=fail (a \\(b\\))";
    EXPECT_EQ(queued.substr(9), std::string("Authentication-Results\0", 23) + value + '\0')
        << "flags " << flags;
    EXPECT_EQ(connection->message.headers.size(), 1u) << "queueing alone keeps the list";
  }
}

TEST(VerdictField, AddedOnTopAllOrNothingWhenMemoryRunsOut) {
  for (int64_t k = 0;; ++k) {
    std::unique_ptr<MilterConnection> connection =
        connectionWith("Authentication-Results: up.example; spf=pass\r\nFrom: a@x");
    Status added;
    bool failed;
    {
      ScopedAllocationFailure guard(k);
      added = addVerdictField(*connection, "mx.test", EventResult::Pass, std::nullopt);
      failed = failedAllocations() > 0;
    }
    const std::vector<std::string> replies = takeReplies(*connection);
    if (!added) {
      EXPECT_EQ(added.error(), Error::OutOfMemory) << "allocation " << k;
      EXPECT_TRUE(replies.empty()) << "allocation " << k;
      EXPECT_EQ(connection->message.headers.size(), 2u) << "allocation " << k;
      continue;
    }
    EXPECT_FALSE(failed) << "allocation " << k << " failed unnoticed";
    EXPECT_EQ(replies, std::vector<std::string>{"i 0 Authentication-Results: mx.test; arc=pass"});
    ASSERT_EQ(connection->message.headers.size(), 3u);
    EXPECT_EQ(connection->message.headers[0].value, "mx.test;\r\n\tarc=pass");
    EXPECT_EQ(connection->message.headers[1].value, "up.example; spf=pass");
    EXPECT_GT(k, 0);
    break;
  }
}

}  // namespace
}  // namespace tollbrook::testing
