#include "dns/socket_setup.h"

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

Status setReceiveTimeout(int fd, uint32_t timeoutMs) {
  return setTimeoutOption(fd, SO_RCVTIMEO, timeoutMs);
}

Status setSendTimeout(int fd, uint32_t timeoutMs) {
  return setTimeoutOption(fd, SO_SNDTIMEO, timeoutMs);
}

Result<UniqueFd> openSocket(int family, int type) {
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(errorFromErrno(errno));
  return UniqueFd(fd);
}

}  // namespace tollbrook
