#include "base/clock.h"

#include <time.h>

namespace tollbrook {

int64_t realtimeMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace tollbrook
