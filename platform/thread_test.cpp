#include "platform/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace tollbrook {
namespace {

#if defined(__linux__)
// The sizes the thread really got, as the C library reports them.
ThreadStack actualStack() {
  pthread_attr_t attr;
  size_t stack = 0;
  size_t guard = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
  }
  return {.stackBytes = stack, .guardBytes = guard};
}

TEST(Thread, RunsTheBodyWithTheRequestedStackAndGuard) {
  auto value = std::make_unique<int>(42);  // the body may own what it captures
  int seen = 0;
  ThreadStack got{};
  auto thread = Thread::start(
      [&, value = std::move(value)] {
        seen = *value;
        got = actualStack();
      },
      kServiceThreadStack);
  ASSERT_TRUE(thread) << errorName(thread.error());
  EXPECT_TRUE(thread->running());
  thread->join();
  EXPECT_FALSE(thread->running());
  EXPECT_EQ(seen, 42);
  EXPECT_GE(got.stackBytes, 16u * 1024 * 1024);
  EXPECT_EQ(got.guardBytes, 4u * 1024);
}
#endif

// An owner that goes away, or is given another thread, waits for the one it
// held: its body may use what the owner's scope is about to release.
TEST(Thread, OwnerJoinsBeforeItLetsGo) {
  std::atomic<int> finished{0};
  auto slowBody = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++finished;
  };
  {
    auto thread = Thread::start(slowBody, kServiceThreadStack);
    ASSERT_TRUE(thread);
  }
  EXPECT_EQ(finished, 1) << "destruction did not join";

  auto first = Thread::start(slowBody, kServiceThreadStack);
  auto second = Thread::start([] {}, kServiceThreadStack);
  ASSERT_TRUE(first && second);
  Thread held = std::move(*first);
  EXPECT_FALSE(first->running()) << "a moved-from owner still claims the thread";
  held = std::move(*second);
  EXPECT_EQ(finished, 2) << "assignment did not join the thread held before";
}

TEST(Thread, RefusalsAreNamed) {
  struct Case {
    const char* what;
    ThreadStack stack;
    Error want;
  };
  const Case cases[] = {
      // No address space can hold it: the system has no resources for it.
      {"a stack of a petabyte",
       {.stackBytes = size_t{1} << 50, .guardBytes = 4096},
       Error::SystemResources},
      {"a stack below the platform's minimum",
       {.stackBytes = 1, .guardBytes = 4096},
       Error::InvalidArgument},
  };
  for (const Case& c : cases) {
    bool ran = false;
    auto thread = Thread::start([&] { ran = true; }, c.stack);
    const Error got = thread ? Error::Unexpected : thread.error();
    EXPECT_EQ(got, c.want) << "input " << c.what << ": got "
                           << (thread ? "a thread" : errorName(got)) << ", want "
                           << errorName(c.want);
    if (thread) thread->join();
    EXPECT_EQ(ran, thread.has_value()) << "input " << c.what;
  }
}

}  // namespace
}  // namespace tollbrook
