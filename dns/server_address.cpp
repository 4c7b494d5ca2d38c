#include "dns/server_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tollbrook {

namespace {

// inet_pton needs a terminated string; 46 bytes hold the longest IPv6 text.
constexpr size_t kMaxAddressText = INET6_ADDRSTRLEN;

ServerAddress ipv4Address(const in_addr& address, uint16_t port) {
  ServerAddress server;
  auto* sin = reinterpret_cast<sockaddr_in*>(&server.storage);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  sin->sin_addr = address;
  server.length = sizeof(sockaddr_in);
  return server;
}

ServerAddress ipv6Address(const in6_addr& address, uint16_t port) {
  ServerAddress server;
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&server.storage);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  sin6->sin6_addr = address;
  server.length = sizeof(sockaddr_in6);
  return server;
}

}  // namespace

Result<ServerAddress> parseServerAddress(std::string_view text, uint16_t port) {
  if (text.empty() || text.size() >= kMaxAddressText) return fail(Error::InvalidAddress);
  if (text.find('\0') != std::string_view::npos) return fail(Error::InvalidAddress);
  char terminated[kMaxAddressText] = {};
  std::memcpy(terminated, text.data(), text.size());
  // inet_pton's IPv4 form is exactly four decimal numbers 0-255 without
  // leading zeros; shorthand forms such as "127.1" or octal are refused.
  in_addr v4{};
  if (inet_pton(AF_INET, terminated, &v4) == 1) return ipv4Address(v4, port);
  in6_addr v6{};
  if (inet_pton(AF_INET6, terminated, &v6) == 1) return ipv6Address(v6, port);
  return fail(Error::InvalidAddress);
}

}  // namespace tollbrook
