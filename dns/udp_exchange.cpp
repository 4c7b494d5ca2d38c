#include "dns/udp_exchange.h"

#include <sys/socket.h>

#include <array>
#include <new>

#include "dns/response.h"
#include "platform/socket_options.h"

namespace tollbrook {

namespace {

// One send and one receive. True when a datagram long enough to be a reply
// arrived; it is left in buffer[0, length).
bool attemptOnce(int fd, const ServerAddress& server, std::string_view query,
                 std::array<char, kUdpReceiveBuffer>& buffer, size_t& length) {
  ssize_t sent = sendto(fd, query.data(), query.size(), MSG_NOSIGNAL, server.get(), server.length);
  if (sent < 0) return false;
  // Any source is accepted: the identifier is checked by the caller once the
  // reply is decoded.
  ssize_t received = recvfrom(fd, buffer.data(), buffer.size(), 0, nullptr, nullptr);
  if (received < static_cast<ssize_t>(kDnsHeaderLength)) return false;
  length = static_cast<size_t>(received);
  return true;
}

}  // namespace

Result<std::optional<std::string>> udpExchange(const ServerAddress& server, std::string_view query,
                                               uint32_t timeoutMs, unsigned attempts) {
  auto socket = openSocket(server.family(), SOCK_DGRAM);
  if (!socket) return fail(socket.error());
  if (auto status = setReceiveTimeout(socket->get(), timeoutMs); !status) {
    return fail(status.error());
  }
  std::array<char, kUdpReceiveBuffer> buffer;
  for (unsigned attempt = 0; attempt < attempts; ++attempt) {
    size_t length = 0;
    if (!attemptOnce(socket->get(), server, query, buffer, length)) continue;
    try {
      return std::optional<std::string>(std::in_place, buffer.data(), length);
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
  }
  return std::optional<std::string>();
}

}  // namespace tollbrook
