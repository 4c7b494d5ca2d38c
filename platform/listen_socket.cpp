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

// Only a socket file is taken to be a stale listener of ours.
Status removeStaleSocket(const PathText& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? Status{} : fail(lastError());
  }
  if (!S_ISSOCK(status.st_mode)) return fail(Error::AddressInUse);
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return fail(lastError());
  return {};
}

}  // namespace

Result<UniqueFd> listenUnix(std::string_view path) {
  if (path.size() > kLongestUnixSocketPath) return fail(Error::NameTooLong);
  UnixAddress address;
  if (!makeUnixAddress(path, address)) return fail(Error::InvalidArgument);
  Result<PathText> text = PathText::from(path);
  if (!text) return fail(text.error());
  if (Status removed = removeStaleSocket(*text); !removed) return fail(removed.error());
  Result<UniqueFd> fd = openStreamSocket(AF_UNIX, 0);
  if (!fd) return fd;
  if (Status s = setFlag(fd->get(), SOL_SOCKET, SO_REUSEADDR); !s) return fail(s.error());
  if (Status s = bindAndListen(fd->get(), address.get(), address.length); !s) {
    return fail(s.error());
  }
  return fd;
}

Result<UniqueFd> listenInet(std::string_view address, uint16_t port) {
  // inet_pton wants a NUL-terminated text; the longest numeric IPv6 address
  // is 45 bytes.
  char text[64];
  if (address.empty() || address.size() >= sizeof text) return fail(Error::InvalidAddress);
  std::memcpy(text, address.data(), address.size());
  text[address.size()] = '\0';

  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    return fail(Error::InvalidAddress);
  }

  Result<UniqueFd> fd = openStreamSocket(storage.ss_family, IPPROTO_TCP);
  if (!fd) return fd;
  for (int option : {SO_REUSEADDR, SO_REUSEPORT}) {
    if (Status s = setFlag(fd->get(), SOL_SOCKET, option); !s) return fail(s.error());
  }
  if (storage.ss_family == AF_INET6) {
    if (Status s = setFlag(fd->get(), IPPROTO_IPV6, IPV6_V6ONLY); !s) return fail(s.error());
  }
  if (Status s = bindAndListen(fd->get(), reinterpret_cast<const sockaddr*>(&storage), length);
      !s) {
    return fail(s.error());
  }
  return fd;
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
