#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "base/clock.h"

namespace tollbrook {
namespace {

TEST(WaitUntilReadable, ReportsDataEndOfFileAndTimeout) {
  auto pipe = openCloseOnExecPipe();
  ASSERT_TRUE(pipe);
  EXPECT_EQ(fcntl(pipe->readEnd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fcntl(pipe->writeEnd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

  int64_t start = monotonicMilliseconds();
  auto quiet = waitUntilReadable(pipe->readEnd.get(), 50);
  ASSERT_TRUE(quiet);
  EXPECT_FALSE(*quiet) << "an empty pipe is not readable";
  EXPECT_GE(monotonicMilliseconds() - start, 50);

  ASSERT_EQ(write(pipe->writeEnd.get(), "K", 1), 1);
  auto data = waitUntilReadable(pipe->readEnd.get(), 10000);
  ASSERT_TRUE(data);
  EXPECT_TRUE(*data);

  char byte;
  ASSERT_EQ(read(pipe->readEnd.get(), &byte, 1), 1);
  pipe->writeEnd.reset();
  start = monotonicMilliseconds();
  auto closed = waitUntilReadable(pipe->readEnd.get(), 10000);
  ASSERT_TRUE(closed);
  EXPECT_TRUE(*closed) << "end of file must end the wait";
  EXPECT_LT(monotonicMilliseconds() - start, 5000);
}

TEST(ProcessExists, OnlyAMissingProcessIsAbsent) {
  EXPECT_TRUE(processExists(currentProcessId()));
  EXPECT_TRUE(processExists(1)) << "init exists even where we may not signal it";
  // Above every pid the kernel hands out.
  EXPECT_FALSE(processExists(INT_MAX));
}

}  // namespace
}  // namespace tollbrook
