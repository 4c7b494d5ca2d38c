#include "platform/signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/thread.h"

namespace tollbrook {
namespace {

TEST(Signals, ProcessControlSetHoldsTheFourSignals) {
  const SignalSet set = SignalSet::processControl();
  for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) {
    EXPECT_TRUE(set.contains(signal)) << "signal " << signal;
  }
  for (int signal : {SIGALRM, SIGUSR1, SIGCHLD}) {
    EXPECT_FALSE(set.contains(signal)) << "signal " << signal;
  }
}

// What the daemon's main thread does: block the set, start threads (which
// inherit the mask), then take the signals with sigwait. Done on a thread of
// its own, so the test program's main thread keeps its mask; the signals are
// sent to that thread alone, so no other thread can take them.
TEST(Signals, BlockedSignalsAreInheritedAndTakenBySigwait) {
  std::vector<int> taken;
  bool childBlocksTerm = false;
  Status blocked;
  auto thread = Thread::start(
      [&] {
        const SignalSet set = SignalSet::processControl();
        blocked = blockSignals(set);
        auto child = Thread::start(
            [&] {
              sigset_t mask;
              pthread_sigmask(SIG_BLOCK, nullptr, &mask);
              childBlocksTerm = sigismember(&mask, SIGTERM) == 1;
            },
            kServiceThreadStack);
        if (child) child->join();
        pthread_kill(pthread_self(), SIGTERM);
        pthread_kill(pthread_self(), SIGHUP);
        for (int i = 0; i < 2; ++i) {
          auto signal = waitForSignal(set);
          taken.push_back(signal ? *signal : -1);
        }
      },
      kServiceThreadStack);
  ASSERT_TRUE(thread);
  thread->join();
  ASSERT_TRUE(blocked);
  EXPECT_TRUE(childBlocksTerm) << "a thread started afterwards did not inherit the mask";
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_TRUE((taken == std::vector<int>{SIGHUP, SIGTERM}) ||
              (taken == std::vector<int>{SIGTERM, SIGHUP}))
      << "took " << taken[0] << " and " << taken[1];
}

// A write to a socket whose peer has gone raises SIGPIPE; with the handler the
// write fails with an error and the process goes on. Run in a child, so the
// test program keeps its own disposition.
TEST(Signals, BrokenPipeHandlerKeepsTheProcessAlive) {
  EXPECT_EXIT(
      {
        if (!catchBrokenPipeSignal()) _exit(2);
        int ends[2];
        if (pipe(ends) != 0) _exit(3);
        close(ends[0]);
        const ssize_t written = write(ends[1], "x", 1);
        _exit(written < 0 && errno == EPIPE ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tollbrook
