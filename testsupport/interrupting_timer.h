// For tests of code that must survive signals: while an InterruptingTimer
// lives, SIGALRM arrives every interval at a handler installed without
// SA_RESTART, so blocking calls made meanwhile end early with EINTR (or with a
// short count). Counts the signals taken. One at a time, on the test's thread.
#ifndef TOLLBROOK_TESTSUPPORT_INTERRUPTING_TIMER_H_
#define TOLLBROOK_TESTSUPPORT_INTERRUPTING_TIMER_H_

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>

namespace tollbrook::testing {

class InterruptingTimer {
 public:
  explicit InterruptingTimer(std::chrono::microseconds interval) {
    signalsTaken().store(0);
    struct sigaction action {};
    action.sa_handler = [](int) { signalsTaken().fetch_add(1); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls return EINTR
    sigaction(SIGALRM, &action, &previous_);
    const timeval every{.tv_sec = static_cast<time_t>(interval.count() / 1000000),
                        .tv_usec = static_cast<suseconds_t>(interval.count() % 1000000)};
    const itimerval timer{.it_interval = every, .it_value = every};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~InterruptingTimer() {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
  }
  InterruptingTimer(const InterruptingTimer&) = delete;
  InterruptingTimer& operator=(const InterruptingTimer&) = delete;

  int taken() const { return signalsTaken().load(); }

 private:
  static std::atomic<int>& signalsTaken() {
    static std::atomic<int> count{0};
    return count;
  }

  struct sigaction previous_ {};
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTSUPPORT_INTERRUPTING_TIMER_H_
