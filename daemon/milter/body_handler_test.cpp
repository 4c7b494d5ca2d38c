#include "daemon/milter/body_handler.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

TEST(BodyHandler, KeepsChunksUpToExactlyMaxBodyBytes) {
  MilterConnection connection;
  connection.limits.maxBodyBytes = 10;
  connection.daemonName = "mta";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(handleBodyChunk(connection, "123456"), 'c');
  EXPECT_EQ(handleBodyChunk(connection, "7890"), 'c');
  std::string quiet = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(connection.message.body, "1234567890");
  EXPECT_FALSE(connection.message.bodyIncomplete);
  EXPECT_EQ(quiet, "");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(handleBodyChunk(connection, "x"), 'c');
  EXPECT_EQ(handleBodyChunk(connection, "y"), 'c');  // dropped without a second line
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(connection.message.bodyIncomplete);
  EXPECT_TRUE(connection.message.body.empty());
  EXPECT_EQ(log,
            "kestrelvault[0]: body exceeds MaxBodyBytes=10 from mta[local]: message will not "
            "be validated or sealed\n");
  EXPECT_LE(connection.message.body.capacity(), 15u);  // the copy was released
}

TEST(BodyHandler, ZeroMeansUnlimitedAndGrowthStaysWithinTheLimit) {
  MilterConnection unlimited;
  std::string chunk(4096, 'b');
  for (int i = 0; i < 300; ++i) handleBodyChunk(unlimited, chunk);
  EXPECT_EQ(unlimited.message.body.size(), 300u * 4096);
  EXPECT_FALSE(unlimited.message.bodyIncomplete);

  MilterConnection limited;
  limited.limits.maxBodyBytes = 1000000;
  for (int i = 0; i < 244; ++i) handleBodyChunk(limited, chunk);
  EXPECT_FALSE(limited.message.bodyIncomplete);
  EXPECT_LE(limited.message.body.capacity(), 1000000u);

  // The chunk that passes the limit gives the whole buffer back, not just its contents.
  ::testing::internal::CaptureStderr();
  handleBodyChunk(limited, chunk);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(limited.message.bodyIncomplete);
  EXPECT_EQ(limited.message.body.capacity(), std::string().capacity());
}

TEST(BodyHandler, AllocationFailureAbandonsTheCopy) {
  const std::string first(64, 'a');
  const std::string second(5000, 'b');
  for (int64_t k = 0;; ++k) {
    MilterConnection connection;  // built before allocations start failing
    ::testing::internal::CaptureStderr();
    bool failed;
    {
      testing::ScopedAllocationFailure guard(k);
      handleBodyChunk(connection, first);
      handleBodyChunk(connection, second);
      failed = testing::failedAllocations() > 0;
    }
    std::string log = ::testing::internal::GetCapturedStderr();
    if (!failed) {
      EXPECT_EQ(connection.message.body.size(), 5064u);
      break;
    }
    EXPECT_TRUE(connection.message.bodyIncomplete) << "allocation " << k;
    EXPECT_TRUE(connection.message.body.empty());
    EXPECT_NE(log.find("body accumulation failed for unknown[local]: error.OutOfMemory"),
              std::string::npos)
        << log;
  }
}

}  // namespace
}  // namespace tollbrook
