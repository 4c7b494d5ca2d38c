#include "platform/socket_options.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

Status setTimeoutOption(int fd, int option, uint32_t timeoutMs) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  if (setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
    return fail(errorFromErrno(errno));
  }
  return {};
}

}  // namespace

Result<UniqueFd> openSocket(int family, int type) {
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(errorFromErrno(errno));
  return UniqueFd(fd);
}

Status setReceiveTimeout(int fd, uint32_t timeoutMs) {
  return setTimeoutOption(fd, SO_RCVTIMEO, timeoutMs);
}

Status setSendTimeout(int fd, uint32_t timeoutMs) {
  return setTimeoutOption(fd, SO_SNDTIMEO, timeoutMs);
}

Status setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return fail(errorFromErrno(errno));
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return fail(errorFromErrno(errno));
  return {};
}

}  // namespace tollbrook
