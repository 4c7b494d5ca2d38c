#include "platform/tcp_connect.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

Status setNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return fail(errorFromErrno(errno));
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(fd, F_SETFL, flags) < 0) return fail(errorFromErrno(errno));
  return {};
}

int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for the pending connect to finish; signals do not extend the limit.
Status awaitConnect(int fd, uint32_t timeoutMs) {
  const int64_t deadline = monotonicMs() + timeoutMs;
  while (true) {
    int64_t remaining = deadline - monotonicMs();
    if (remaining <= 0) return fail(Error::ConnectionTimedOut);
    pollfd entry{.fd = fd, .events = POLLOUT, .revents = 0};
    int ready = poll(&entry, 1, static_cast<int>(std::min<int64_t>(remaining, INT32_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return fail(errorFromErrno(errno));
    if (ready == 0) return fail(Error::ConnectionTimedOut);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      return fail(errorFromErrno(errno));
    }
    if (error != 0) return fail(errorFromErrno(error));
    return {};
  }
}

}  // namespace

Status setConnectLimit([[maybe_unused]] int fd, [[maybe_unused]] uint32_t timeoutMs) {
#ifdef TCP_KEEPINIT
  int seconds = static_cast<int>(std::max<uint64_t>((uint64_t{timeoutMs} + 999) / 1000, 1));
  if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINIT, &seconds, sizeof seconds) != 0) {
    return fail(errorFromErrno(errno));
  }
#endif
  return {};
}

Status connectWithin(int fd, const sockaddr* address, socklen_t length, uint32_t timeoutMs) {
  if (auto status = setNonBlocking(fd, true); !status) return status;
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) return fail(errorFromErrno(errno));
    if (auto status = awaitConnect(fd, timeoutMs); !status) return status;
  }
  return setNonBlocking(fd, false);
}

}  // namespace tollbrook
