// The two clocks of the system, in milliseconds. The realtime clock tells the
// date: signature timestamps and cache expiry read it. The monotonic clock
// measures durations (deadlines, throttles, elapsed times), which must not
// jump when the administrator or NTP steps the date. Tests substitute a Clock
// of their own so that time can pass without sleeping. Any thread.
#ifndef TOLLBROOK_BASE_CLOCK_H_
#define TOLLBROOK_BASE_CLOCK_H_

#include <cstdint>
#include <functional>

namespace tollbrook {

// A source of milliseconds; called only on the thread that owns its user.
using Clock = std::function<int64_t()>;

// clock_gettime(CLOCK_REALTIME) in whole milliseconds since the epoch.
int64_t realtimeMilliseconds();

// clock_gettime(CLOCK_MONOTONIC) in whole milliseconds from an arbitrary start.
int64_t monotonicMilliseconds();

// A moment a fixed time after its creation, on the monotonic clock: one limit
// shared by the several waits of one operation, each of which gets what is left.
class Deadline {
 public:
  // Negative durations count as 0; the sum saturates instead of overflowing.
  static Deadline after(int64_t durationMs);

  // 0 once the moment has passed.
  int64_t remainingMs() const;
  bool passed() const { return remainingMs() == 0; }

 private:
  explicit Deadline(int64_t atMs) : atMs_(atMs) {}
  int64_t atMs_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_CLOCK_H_
