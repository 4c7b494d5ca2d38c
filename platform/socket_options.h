// Opening sockets and setting the options Tollbrook uses on them: receive and
// send timeouts, non-blocking mode. Plain calls on a descriptor the caller owns;
// any thread.
#ifndef TOLLBROOK_PLATFORM_SOCKET_OPTIONS_H_
#define TOLLBROOK_PLATFORM_SOCKET_OPTIONS_H_

#include <cstdint>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// A socket of the family and type (SOCK_DGRAM, SOCK_STREAM), close-on-exec.
[[nodiscard]] Result<UniqueFd> openSocket(int family, int type);

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds (0 means wait forever, as the
// platform has it). Errors are the platform's, mapped.
[[nodiscard]] Status setReceiveTimeout(int fd, uint32_t timeoutMs);
[[nodiscard]] Status setSendTimeout(int fd, uint32_t timeoutMs);

// Sets O_NONBLOCK on any descriptor (socket or pipe), keeping its other flags.
[[nodiscard]] Status setNonBlocking(int fd);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_SOCKET_OPTIONS_H_
