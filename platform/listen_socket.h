// Listening stream sockets for the daemon's listeners: unix paths and numeric
// IPv4/IPv6 addresses. Each function returns a socket the caller owns, already
// non-blocking and close-on-exec. Called by the main thread at start-up; the
// unix path helpers also by a worker when it stops listening.
//
// Inet listeners set SO_REUSEPORT so that every worker binds its own socket to
// the same address and the kernel spreads connections over them. On Linux that
// option balances by itself; a FreeBSD backend needs SO_REUSEPORT_LB for the
// same effect (plain SO_REUSEPORT there hands every connection to one socket).
#ifndef TOLLBROOK_PLATFORM_LISTEN_SOCKET_H_
#define TOLLBROOK_PLATFORM_LISTEN_SOCKET_H_

#include <cstdint>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// The longest unix socket path every platform can bind (FreeBSD's sun_path
// holds 104 bytes with the terminating NUL).
inline constexpr size_t kLongestUnixSocketPath = 103;

// The queue of connections the kernel keeps for each listening socket.
inline constexpr int kListenBacklog = 256;

// Removes a stale socket at `path`, then binds and listens there. The socket
// file takes its permissions from the process umask. A path longer than
// kLongestUnixSocketPath fails with NameTooLong; an empty path or one holding a
// NUL with InvalidArgument. Something at the path that is not a socket is left
// alone and the call fails with AddressInUse, so a mistyped path never
// deletes a file; so is a socket that something still accepts connections on
// (a running daemon), which is never taken over. Other failures are the
// platform's error kinds (AccessDenied, FileNotFound, AddressInUse, ...).
[[nodiscard]] Result<UniqueFd> listenUnix(std::string_view path);

// Binds and listens on a numeric IPv4 or IPv6 address (no brackets, no host
// names; anything else fails with InvalidAddress) with SO_REUSEADDR and
// SO_REUSEPORT. IPv6 sockets are IPv6 only, as on FreeBSD by default, so an
// IPv6 wildcard listener and an IPv4 one on the same port can coexist.
[[nodiscard]] Result<UniqueFd> listenInet(std::string_view address, uint16_t port);

// Fails with AddressInUse when some socket, of this process or another,
// already listens on the address and port; InvalidAddress as listenInet.
// SO_REUSEPORT lets any process of the same user join a port, so the sockets
// listenInet makes for the workers would share it silently with another
// daemon: this is asked before the first of them is bound. Port 0 (any free
// port) is always free.
[[nodiscard]] Status inetAddressIsFree(std::string_view address, uint16_t port);

// Another descriptor for the same listening socket (close-on-exec), so that
// several workers can each own, watch and close their own while they share
// one bound unix path.
[[nodiscard]] Result<UniqueFd> duplicateListenSocket(int fd);

// The port a listening inet socket is bound to (the chosen one after port 0).
[[nodiscard]] Result<uint16_t> boundPort(int fd);

// Removes the socket file at `path` if a socket is what is there; a missing
// path, or a file of another kind, is left as it is without complaint.
void removeUnixSocketPath(std::string_view path);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_LISTEN_SOCKET_H_
