#include "daemon/startup/listener_exposure.h"

#include <netinet/in.h>

#include <cstring>

#include "core/log.h"
#include "dns/server_address.h"

namespace tollbrook {

namespace {

constexpr uint8_t kLoopbackNetwork = 127;

bool loopbackIpv4(const uint8_t* bytes) {
  return bytes[0] == kLoopbackNetwork;
}

bool loopbackIpv6(const in6_addr& address) {
  if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
  return IN6_IS_ADDR_V4MAPPED(&address) && loopbackIpv4(address.s6_addr + 12);
}

bool sealingMode(ListenerMode mode) {
  return mode == ListenerMode::Seal || mode == ListenerMode::Both;
}

}  // namespace

bool reachableBeyondHost(const ListenAddress& address) {
  if (address.isUnix) return false;
  Result<ServerAddress> parsed = parseServerAddress(address.address, address.port);
  // The configuration only holds addresses that parse; should one not, warn
  // rather than stay silent about a listener we cannot judge.
  if (!parsed) return true;
  if (parsed->family() == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&parsed->storage);
    uint8_t bytes[4];
    std::memcpy(bytes, &ipv4->sin_addr, sizeof bytes);
    return !loopbackIpv4(bytes);
  }
  const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(&parsed->storage);
  return !loopbackIpv6(ipv6->sin6_addr);
}

void warnIfSealingListenerExposed(const DaemonConfig& config, size_t index) {
  if (index >= config.listeners.size() || index >= config.listenerModes.size()) return;
  const ListenerMode mode = config.listenerModes[index];
  const ListenAddress& address = config.listeners[index];
  if (!sealingMode(mode) || !reachableBeyondHost(address)) return;
  const bool ipv6 = address.address.find(':') != std::string::npos;
  logMessage(Severity::Warning, "listener[", index, "] mode=", listenerModeWord(mode), " on ",
             ipv6 ? "[" : "", address.address, ipv6 ? "]" : "", ":", address.port,
             " is reachable beyond this host: anyone who can connect can have mail sealed with "
             "this host's key");
}

}  // namespace tollbrook
