// Connecting a stream socket within a time limit. The connect is made
// non-blocking and waited for with poll on every platform; where the platform
// has TCP_KEEPINIT (FreeBSD) it is set as well. Runs on the calling thread.
#ifndef TOLLBROOK_PLATFORM_TCP_CONNECT_H_
#define TOLLBROOK_PLATFORM_TCP_CONNECT_H_

#include <sys/socket.h>

#include <cstdint>

#include "base/error.h"

namespace tollbrook {

// Sets the platform's connection-establishment limit to the timeout in whole
// seconds rounded up, at least 1. Succeeds without doing anything where the
// platform has no such option (connectWithin bounds the connect there).
[[nodiscard]] Status setConnectLimit(int fd, uint32_t timeoutMs);

// Connects fd to address, giving up with ConnectionTimedOut after timeoutMs.
// The socket is left non-blocking, so that the caller can bound what follows
// with waitReady as well. Other failures are the platform's, mapped
// (ConnectionRefused, NetworkUnreachable, ...).
[[nodiscard]] Status connectWithin(int fd, const sockaddr* address, socklen_t length,
                                   uint32_t timeoutMs);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_TCP_CONNECT_H_
