#include "platform/readiness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/io.h"
#include "platform/pipe.h"
#include "testsupport/interrupting_timer.h"

namespace tollbrook {
namespace {

std::string show(const Result<Readiness>& ready) {
  if (!ready) return "error." + std::string(errorName(ready.error()));
  switch (*ready) {
    case Readiness::Ready:
      return "ready";
    case Readiness::Woken:
      return "woken";
    case Readiness::TimedOut:
      return "timed out";
  }
  return "?";
}

TEST(Readiness, ReportsWhatHappenedFirst) {
  auto data = openPipe();
  auto idle = openPipe();
  auto wake = openPipe();
  auto woken = openPipe();
  ASSERT_TRUE(data && idle && wake && woken);
  ASSERT_TRUE(writeAll(data->writeEnd.get(), "x"));
  woken->writeEnd.reset();  // closing the write end is the wake-up

  struct Case {
    const char* what;
    Result<Readiness> got;
    std::string want;
  };
  const Case cases[] = {
      {"data waiting", waitReady(data->readEnd.get(), Direction::Read, 1000, wake->readEnd.get()),
       "ready"},
      {"nothing to read", waitReady(idle->readEnd.get(), Direction::Read, 20), "timed out"},
      {"room to write", waitReady(idle->writeEnd.get(), Direction::Write, 1000), "ready"},
      {"data and a wake-up",
       waitReady(data->readEnd.get(), Direction::Read, 1000, woken->readEnd.get()), "woken"},
      {"sleep cut short", waitReady(-1, Direction::Read, 60'000, woken->readEnd.get()), "woken"},
      {"a zero limit looks once", waitReady(data->readEnd.get(), Direction::Read, 0), "ready"},
      {"closed descriptor", waitReady(1 << 20, Direction::Read, 1000), "ready"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(c.got), c.want) << "input " << c.what;
  }
}

// A signal every two milliseconds: a wait that started its full limit again
// after each one would never end.
TEST(Readiness, SignalsDoNotExtendTheLimit) {
  auto idle = openPipe();
  ASSERT_TRUE(idle);
  testing::InterruptingTimer timer(std::chrono::milliseconds(2));
  const auto before = std::chrono::steady_clock::now();
  auto ready = waitReady(idle->readEnd.get(), Direction::Read, 200);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(show(ready), "timed out");
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_GT(timer.taken(), 0);
}

}  // namespace
}  // namespace tollbrook
