// A nameserver's socket address, parsed from its configured text. Plain value,
// copied freely between threads.
#ifndef TOLLBROOK_DNS_SERVER_ADDRESS_H_
#define TOLLBROOK_DNS_SERVER_ADDRESS_H_

#include <sys/socket.h>

#include <cstdint>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

struct ServerAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;  // 16 for IPv4, 28 for IPv6

  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// An IPv4 address in dotted-decimal form (four numbers 0 to 255, no leading
// zeros) or, failing that, an IPv6 address in its text form; no host names,
// no brackets, no port. Fails with InvalidAddress.
[[nodiscard]] Result<ServerAddress> parseServerAddress(std::string_view text, uint16_t port);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_SERVER_ADDRESS_H_
