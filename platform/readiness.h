// Waiting, with a time limit, until a descriptor is ready to read or write, or
// until a wake-up descriptor (the read end of a pipe that another thread writes
// to or closes) cuts the wait short. poll(2) here; it takes no ownership of the
// descriptors. Any thread.
#ifndef TOLLBROOK_PLATFORM_READINESS_H_
#define TOLLBROOK_PLATFORM_READINESS_H_

#include <cstdint>

#include "base/error.h"

namespace tollbrook {

enum class Direction : uint8_t { Read, Write };

enum class Readiness : uint8_t {
  Ready,     // fd can be read or written (or has an error the next call reports)
  Woken,     // wakeFd became readable or reached end of file; wins over Ready
  TimedOut,  // neither within the limit
};

// Waits at most timeoutMs, measured on the monotonic clock: a signal does not
// extend the limit, the wait resumes with the time that is left. A limit of 0
// or less looks once without waiting. fd < 0 waits on the wake descriptor and
// the clock alone (a sleep that can be cut short); wakeFd < 0 means none.
// Errors are the platform's, mapped.
[[nodiscard]] Result<Readiness> waitReady(int fd, Direction direction, int64_t timeoutMs,
                                          int wakeFd = -1);

// Sleeps the whole duration, resuming after a signal with the time that is
// left; nothing cuts it short. For when waitReady itself cannot be used.
void sleepFor(int64_t durationMs);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_READINESS_H_
