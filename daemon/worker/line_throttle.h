// Spacing of a repeated log line: at most one line per interval. A plain value
// owned by one worker; times are milliseconds of the monotonic clock.
#ifndef TOLLBROOK_DAEMON_WORKER_LINE_THROTTLE_H_
#define TOLLBROOK_DAEMON_WORKER_LINE_THROTTLE_H_

#include <cstdint>

namespace tollbrook {

class LineThrottle {
 public:
  static constexpr int64_t kIntervalMs = 1000;

  // Whether a line may be written at `now`; if so, `now` becomes the time of
  // the last line. The first line is always allowed.
  bool allow(int64_t now) {
    if (written_ && now - last_ < kIntervalMs) return false;
    written_ = true;
    last_ = now;
    return true;
  }

 private:
  int64_t last_ = 0;
  bool written_ = false;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_WORKER_LINE_THROTTLE_H_
