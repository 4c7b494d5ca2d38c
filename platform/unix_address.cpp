#include "platform/unix_address.h"

#include <cstddef>
#include <cstring>

namespace tollbrook {

bool makeUnixAddress(std::string_view path, UnixAddress& out) {
  out = UnixAddress{};
  if (path.empty() || path.size() >= sizeof(out.address.sun_path)) return false;
  if (path.find('\0') != std::string_view::npos) return false;
  out.address.sun_family = AF_UNIX;
  std::memcpy(out.address.sun_path, path.data(), path.size());
#if defined(__FreeBSD__) || defined(__APPLE__) || defined(__NetBSD__) || defined(__OpenBSD__)
  out.address.sun_len = sizeof(out.address);
  out.length = sizeof(out.address);
#else
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
#endif
  return true;
}

}  // namespace tollbrook
