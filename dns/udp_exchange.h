// One query/reply exchange with one nameserver over UDP: a fresh socket, a
// receive timeout, up to `attempts` sends, and the first datagram of at least a
// header's length from any source as the reply. Runs on the calling thread.
#ifndef TOLLBROOK_DNS_UDP_EXCHANGE_H_
#define TOLLBROOK_DNS_UDP_EXCHANGE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "dns/server_address.h"

namespace tollbrook {

inline constexpr size_t kUdpReceiveBuffer = 4096;

// The reply bytes (the caller's), std::nullopt when no attempt got a reply, or
// the error of opening the socket, setting its timeout or copying the reply:
// those end the whole lookup, unlike a silent server.
[[nodiscard]] Result<std::optional<std::string>> udpExchange(const ServerAddress& server,
                                                             std::string_view query,
                                                             uint32_t timeoutMs, unsigned attempts);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_UDP_EXCHANGE_H_
