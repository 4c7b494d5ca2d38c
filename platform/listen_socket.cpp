#include "platform/listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/terminated_path.h"
#include "platform/errno_map.h"
#include "platform/unix_address.h"

namespace tollbrook {

namespace {

Error lastError() {
  return errorFromErrno(errno);
}

// A NUL-terminated copy of a socket path for the system calls.
using PathText = TerminatedPath<kLongestUnixSocketPath>;

Result<UniqueFd> openStreamSocket(int family, int protocol) {
  UniqueFd fd(socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
  if (!fd.valid()) return fail(lastError());
  return fd;
}

Status setFlag(int fd, int level, int option) {
  const int one = 1;
  if (setsockopt(fd, level, option, &one, sizeof one) != 0) return fail(lastError());
  return {};
}

Status bindAndListen(int fd, const sockaddr* address, socklen_t length) {
  if (bind(fd, address, length) != 0) return fail(lastError());
  if (listen(fd, kListenBacklog) != 0) return fail(lastError());
  return {};
}

// True when something accepts connections on the socket at `address`: the
// connect succeeds, or the listener's queue is full. A refused connect means
// no process holds the socket any more.
bool someoneListens(const UnixAddress& address) {
  UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  if (connect(probe.get(), address.get(), address.length) == 0) return true;
  return errno == EAGAIN || errno == EINPROGRESS;
}

// Only a socket file that nobody listens on is taken to be a stale listener
// of ours. A live one belongs to a running daemon (another instance with
// another pid file, say); unlinking it would leave that daemon running but
// unreachable and take its mail without a word.
Status removeStaleSocket(const PathText& path, const UnixAddress& address) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? Status{} : fail(lastError());
  }
  if (!S_ISSOCK(status.st_mode) || someoneListens(address)) return fail(Error::AddressInUse);
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail(lastError());
  return {};
}

// The socket address of a numeric IPv4 or IPv6 address and a port.
struct InetAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

Result<InetAddress> inetAddress(std::string_view address, uint16_t port) {
  // inet_pton wants a NUL-terminated text; the longest numeric IPv6 address
  // is 45 bytes.
  char text[64];
  if (address.empty() || address.size() >= sizeof text) return fail(Error::InvalidAddress);
  std::memcpy(text, address.data(), address.size());
  text[address.size()] = '\0';
  InetAddress result;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&result.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    result.length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    result.length = sizeof(sockaddr_in6);
  } else {
    return fail(Error::InvalidAddress);
  }
  return result;
}

// A TCP socket for `address` with the options every listener and probe
// shares; SO_REUSEPORT only when asked.
Result<UniqueFd> inetSocket(const InetAddress& address, bool reusePort) {
  Result<UniqueFd> fd = openStreamSocket(address.storage.ss_family, IPPROTO_TCP);
  if (!fd) return fd;
  if (Status s = setFlag(fd->get(), SOL_SOCKET, SO_REUSEADDR); !s) return fail(s.error());
  if (reusePort) {
    if (Status s = setFlag(fd->get(), SOL_SOCKET, SO_REUSEPORT); !s) return fail(s.error());
  }
  if (address.storage.ss_family == AF_INET6) {
    if (Status s = setFlag(fd->get(), IPPROTO_IPV6, IPV6_V6ONLY); !s) return fail(s.error());
  }
  return fd;
}

}  // namespace

Result<UniqueFd> listenUnix(std::string_view path) {
  if (path.size() > kLongestUnixSocketPath) return fail(Error::NameTooLong);
  UnixAddress address;
  if (!makeUnixAddress(path, address)) return fail(Error::InvalidArgument);
  Result<PathText> text = PathText::from(path);
  if (!text) return fail(text.error());
  if (Status removed = removeStaleSocket(*text, address); !removed) return fail(removed.error());
  Result<UniqueFd> fd = openStreamSocket(AF_UNIX, 0);
  if (!fd) return fd;
  if (Status s = setFlag(fd->get(), SOL_SOCKET, SO_REUSEADDR); !s) return fail(s.error());
  if (Status s = bindAndListen(fd->get(), address.get(), address.length); !s) {
    return fail(s.error());
  }
  return fd;
}

Result<UniqueFd> listenInet(std::string_view address, uint16_t port) {
  Result<InetAddress> where = inetAddress(address, port);
  if (!where) return fail(where.error());
  Result<UniqueFd> fd = inetSocket(*where, true);
  if (!fd) return fd;
  if (Status s = bindAndListen(fd->get(), where->get(), where->length); !s) {
    return fail(s.error());
  }
  return fd;
}

Status inetAddressIsFree(std::string_view address, uint16_t port) {
  Result<InetAddress> where = inetAddress(address, port);
  if (!where) return fail(where.error());
  if (port == 0) return {};
  // Without SO_REUSEPORT the bind fails while any listener holds the port,
  // whatever options that listener set; SO_REUSEADDR keeps connections of an
  // earlier run still in TIME_WAIT from counting.
  Result<UniqueFd> probe = inetSocket(*where, false);
  if (!probe) return fail(probe.error());
  if (bind(probe->get(), where->get(), where->length) != 0) return fail(lastError());
  return {};
}

Result<UniqueFd> duplicateListenSocket(int fd) {
  UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return fail(lastError());
  return copy;
}

Result<uint16_t> boundPort(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return fail(lastError());
  }
  if (storage.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  if (storage.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return fail(Error::AddressFamilyNotSupported);
}

void removeUnixSocketPath(std::string_view path) {
  Result<PathText> text = PathText::from(path);
  if (path.empty() || !text) return;
  struct stat status {};
  if (lstat(text->c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) unlink(text->c_str());
}

}  // namespace tollbrook
