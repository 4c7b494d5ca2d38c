#include "base/clock.h"

#include <time.h>

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

}  // namespace tollbrook
