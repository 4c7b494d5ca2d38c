// Builds unix-domain socket addresses the way this platform wants them: BSDs
// carry the length in sun_len, Linux has no such field and takes the length
// from the caller. A plain value; safe on any thread.
#ifndef TOLLBROOK_PLATFORM_UNIX_ADDRESS_H_
#define TOLLBROOK_PLATFORM_UNIX_ADDRESS_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <string_view>

namespace tollbrook {

struct UnixAddress {
  sockaddr_un address{};
  socklen_t length = 0;  // the length to pass to bind() or connect()

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// False when the path is empty, holds a NUL byte, or does not fit sun_path
// together with its terminating NUL.
bool makeUnixAddress(std::string_view path, UnixAddress& out);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_UNIX_ADDRESS_H_
