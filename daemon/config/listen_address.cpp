#include "daemon/config/listen_address.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "core/number_syntax.h"
#include "dns/server_address.h"

namespace tollbrook {

namespace {

constexpr std::string_view kInetPrefix = "inet:";
constexpr std::string_view kUnixPrefix = "unix:";
constexpr std::string_view kAnyIpv4 = "0.0.0.0";

Result<ListenAddress> parseUnixPath(std::string_view path) {
  // An empty path cannot be bound, and a NUL byte would make the system bind
  // a shorter path than the one written.
  if (path.empty() || path.size() >= kMaxUnixPathLength ||
      path.find('\0') != std::string_view::npos) {
    return fail(Error::InvalidPath);
  }
  return ListenAddress{std::string(path), 0, true};
}

// "PORT@IP" or "PORT". The host must be a numeric address, read by the same
// rule as a nameserver address: host names are never resolved.
Result<ListenAddress> parseInet(std::string_view text) {
  size_t at = text.find('@');
  auto port = parseUnsignedNumber(text.substr(0, at), UINT16_MAX);
  if (!port) return fail(Error::InvalidPort);
  auto portNumber = static_cast<uint16_t>(*port);
  if (at == std::string_view::npos) return ListenAddress{std::string(kAnyIpv4), portNumber, false};
  std::string_view host = text.substr(at + 1);
  if (!parseServerAddress(host, portNumber)) return fail(Error::InvalidHost);
  return ListenAddress{std::string(host), portNumber, false};
}

}  // namespace

Result<ListenAddress> parseListenAddress(std::string_view text) {
  try {
    if (text.starts_with(kInetPrefix)) return parseInet(text.substr(kInetPrefix.size()));
    if (text.starts_with(kUnixPrefix)) return parseUnixPath(text.substr(kUnixPrefix.size()));
    if (text.starts_with('/')) return parseUnixPath(text);
    return parseInet(text);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

ListenAddressSet::Binding ListenAddressSet::bindingOf(const ListenAddress& address) {
  Binding binding;
  binding.port = address.port;
  Result<ServerAddress> server = fail(Error::InvalidAddress);
  if (!address.isUnix) server = parseServerAddress(address.address, address.port);
  if (!server) {
    binding.path = address.address;  // unix path (or, against the contract, unparsed text)
    return binding;
  }
  if (server->family() == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&server->storage);
    binding.family = 4;
    std::memcpy(binding.ip.data(), &sin->sin_addr, 4);
    return binding;
  }
  const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&server->storage);
  const uint8_t* bytes = sin6->sin6_addr.s6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) {
    binding.family = 4;
    std::memcpy(binding.ip.data(), bytes + 12, 4);
  } else {
    binding.family = 6;
    std::memcpy(binding.ip.data(), bytes, 16);
  }
  return binding;
}

std::optional<size_t> ListenAddressSet::findClashOrAdd(const ListenAddress& address, size_t owner) {
  Binding binding = bindingOf(address);
  if (auto same = exact_.find(binding); same != exact_.end()) return same->second;
  bool isInet = binding.family != 0;
  bool isWildcard =
      isInet && std::all_of(binding.ip.begin(), binding.ip.end(), [](uint8_t b) { return b == 0; });
  FamilyPort familyPort{binding.family, binding.port};
  if (isInet) {
    // A wildcard clashes with any earlier address of its family on the port,
    // and any address with an earlier wildcard.
    const auto& earlier = isWildcard ? firstOnPort_ : wildcardOnPort_;
    if (auto found = earlier.find(familyPort); found != earlier.end()) return found->second;
  }
  exact_.emplace(std::move(binding), owner);
  if (isInet) {
    firstOnPort_.try_emplace(familyPort, owner);
    if (isWildcard) wildcardOnPort_.try_emplace(familyPort, owner);
  }
  return std::nullopt;
}

}  // namespace tollbrook
