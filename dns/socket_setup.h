// Opening DNS sockets and setting their timeouts (milliseconds). Shared by the
// UDP and TCP exchanges and the health monitor's probe.
#ifndef TOLLBROOK_DNS_SOCKET_SETUP_H_
#define TOLLBROOK_DNS_SOCKET_SETUP_H_

#include <cstdint>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// SO_RCVTIMEO / SO_SNDTIMEO; errors are the platform's, mapped.
[[nodiscard]] Status setReceiveTimeout(int fd, uint32_t timeoutMs);
[[nodiscard]] Status setSendTimeout(int fd, uint32_t timeoutMs);

// A datagram or stream socket of the family, close-on-exec.
[[nodiscard]] Result<UniqueFd> openSocket(int family, int type);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_SOCKET_SETUP_H_
