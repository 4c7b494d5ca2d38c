#include "base/clock.h"

#include <time.h>

#include <algorithm>
#include <limits>

namespace tollbrook {

namespace {

int64_t milliseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int64_t realtimeMilliseconds() {
  return milliseconds(CLOCK_REALTIME);
}

int64_t monotonicMilliseconds() {
  return milliseconds(CLOCK_MONOTONIC);
}

Deadline Deadline::after(int64_t durationMs) {
  const int64_t now = monotonicMilliseconds();
  const int64_t duration = std::max<int64_t>(durationMs, 0);
  const int64_t latest = std::numeric_limits<int64_t>::max();
  return Deadline(duration > latest - now ? latest : now + duration);
}

int64_t Deadline::remainingMs() const {
  return std::max<int64_t>(atMs_ - monotonicMilliseconds(), 0);
}

}  // namespace tollbrook
