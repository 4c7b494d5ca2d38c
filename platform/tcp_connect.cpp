#include "platform/tcp_connect.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cerrno>

#include "platform/errno_map.h"
#include "platform/readiness.h"
#include "platform/socket_options.h"

namespace tollbrook {

namespace {

// Waits for the pending connect to finish; signals do not extend the limit.
Status awaitConnect(int fd, uint32_t timeoutMs) {
  auto ready = waitReady(fd, Direction::Write, timeoutMs);
  if (!ready) return fail(ready.error());
  if (*ready == Readiness::TimedOut) return fail(Error::ConnectionTimedOut);
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return fail(errorFromErrno(errno));
  }
  if (error != 0) return fail(errorFromErrno(error));
  return {};
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
  if (auto status = setNonBlocking(fd); !status) return status;
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) return fail(errorFromErrno(errno));
    return awaitConnect(fd, timeoutMs);
  }
  return {};
}

}  // namespace tollbrook
