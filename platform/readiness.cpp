#include "platform/readiness.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "base/clock.h"
#include "platform/errno_map.h"

namespace tollbrook {

namespace {

int pollTimeout(int64_t remainingMs) {
  return static_cast<int>(std::min<int64_t>(remainingMs, INT_MAX));
}

}  // namespace

Result<Readiness> waitReady(int fd, Direction direction, int64_t timeoutMs, int wakeFd) {
  const Deadline deadline = Deadline::after(timeoutMs);
  // poll skips entries with a negative descriptor, so either may be absent.
  const short events = direction == Direction::Read ? POLLIN : POLLOUT;
  pollfd entries[2] = {
      {.fd = fd, .events = events, .revents = 0},
      {.fd = wakeFd, .events = POLLIN, .revents = 0},
  };
  for (;;) {
    const int64_t remaining = deadline.remainingMs();
    const int ready = poll(entries, 2, pollTimeout(remaining));
    if (ready < 0 && errno == EINTR) {
      if (remaining == 0) return Readiness::TimedOut;
      continue;
    }
    if (ready < 0) return fail(errorFromErrno(errno));
    if (ready == 0) return Readiness::TimedOut;
    if (entries[1].revents != 0) return Readiness::Woken;
    return Readiness::Ready;
  }
}

void sleepFor(int64_t durationMs) {
  const int64_t duration = std::max<int64_t>(durationMs, 0);
  timespec remaining{.tv_sec = static_cast<time_t>(duration / 1000),
                     .tv_nsec = static_cast<long>((duration % 1000) * 1000000)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace tollbrook
