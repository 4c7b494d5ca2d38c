// Where a listener accepts connections: the Socket value of a listener section,
// parsed, and the check that no two listeners take the same address. Values
// owned by the caller; used on the main thread while a configuration is built.
#ifndef TOLLBROOK_DAEMON_CONFIG_LISTEN_ADDRESS_H_
#define TOLLBROOK_DAEMON_CONFIG_LISTEN_ADDRESS_H_

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace tollbrook {

// Unix socket paths must be shorter than this (the BSD sun_path with its NUL).
inline constexpr size_t kMaxUnixPathLength = 104;

struct ListenAddress {
  std::string address;  // numeric IPv4 or IPv6 address as written, or the unix path
  uint16_t port = 0;    // 0 for unix listeners
  bool isUnix = false;

  bool operator==(const ListenAddress&) const = default;
};

// "inet:PORT@IP", "inet:PORT", "unix:PATH", "/PATH", or "PORT@IP" / "PORT".
// A port alone binds 0.0.0.0. Fails with InvalidPort (not a decimal 16-bit
// number), InvalidHost (not a numeric IPv4 or IPv6 address) or InvalidPath (an
// empty path, one holding a NUL byte, or one of kMaxUnixPathLength bytes or
// more), or OutOfMemory.
[[nodiscard]] Result<ListenAddress> parseListenAddress(std::string_view text);

// Remembers the addresses of the listeners seen so far and finds the earlier
// listener a new one would share its address with. Listeners bind with
// SO_REUSEPORT, so two listeners on one address would both bind and the kernel
// would hand each connection to either at random, whatever their modes.
//
// Same address: the same unix path (compared as written), or the same port and
// IP address (compared as parsed, so "::1" and "0:0:0:0:0:0:0:1" match, and an
// IPv4-mapped IPv6 address is its IPv4 address). 0.0.0.0 takes the port on
// every IPv4 address and :: on every IPv6 address. :: and IPv4 addresses do
// not clash: whether :: also takes IPv4 depends on the system's v6-only
// setting, and where it does, the kernel prefers an IPv4 listener for IPv4
// connections, so nothing is split at random.
class ListenAddressSet {
 public:
  // The owner recorded for an earlier clashing address, or nullopt after
  // recording this one under owner. The address must have come from
  // parseListenAddress. May throw std::bad_alloc.
  std::optional<size_t> findClashOrAdd(const ListenAddress& address, size_t owner);

 private:
  struct Binding {
    uint8_t family = 0;  // 0 unix, 4 IPv4, 6 IPv6
    uint16_t port = 0;
    std::array<uint8_t, 16> ip{};
    std::string path;
    auto operator<=>(const Binding&) const = default;
  };
  using FamilyPort = std::pair<uint8_t, uint16_t>;

  static Binding bindingOf(const ListenAddress& address);

  std::map<Binding, size_t> exact_;
  std::map<FamilyPort, size_t> firstOnPort_;     // any address of the family on the port
  std::map<FamilyPort, size_t> wildcardOnPort_;  // 0.0.0.0 or :: on the port
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_LISTEN_ADDRESS_H_
