// One query/reply exchange with one nameserver over TCP, used after a
// truncated UDP reply: the connect, the 2-byte length prefix in each direction
// and the whole reply, all within one timeout. Runs on the calling thread.
#ifndef TOLLBROOK_DNS_TCP_EXCHANGE_H_
#define TOLLBROOK_DNS_TCP_EXCHANGE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "dns/server_address.h"

namespace tollbrook {

// The reply bytes (the caller's, at least 12 bytes), or: the socket, option or
// connect error (ConnectionTimedOut when the connect takes the whole timeout);
// UnexpectedEof when the peer closes early; PacketTooShort for an announced
// length under 12; MessageTooBig for a query over 65,535 bytes; WouldBlock when
// the timeout runs out while sending or receiving; OutOfMemory.
[[nodiscard]] Result<std::string> tcpExchange(const ServerAddress& server, std::string_view query,
                                              uint32_t timeoutMs);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_TCP_EXCHANGE_H_
