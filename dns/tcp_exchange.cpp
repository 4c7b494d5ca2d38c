#include "dns/tcp_exchange.h"

#include <sys/socket.h>

#include <new>

#include "base/clock.h"
#include "dns/response.h"
#include "dns/wire_bytes.h"
#include "platform/io.h"
#include "platform/readiness.h"
#include "platform/socket_options.h"
#include "platform/tcp_connect.h"

namespace tollbrook {

namespace {

constexpr size_t kMaxTcpMessage = 65535;

// Every wait of the exchange gets what is left of one deadline, so a server
// that trickles its reply a byte at a time cannot hold the caller longer than
// a silent one. The socket is non-blocking from the connect on.
Status awaitReady(int fd, Direction direction, const Deadline& deadline) {
  auto ready = waitReady(fd, direction, deadline.remainingMs());
  if (!ready) return fail(ready.error());
  if (*ready == Readiness::TimedOut) return fail(Error::WouldBlock);
  return {};
}

Status sendAll(int fd, std::string_view bytes, const Deadline& deadline) {
  while (!bytes.empty()) {
    if (auto ready = awaitReady(fd, Direction::Write, deadline); !ready) return ready;
    auto sent = sendSome(fd, bytes);
    if (!sent && sent.error() == Error::WouldBlock) continue;
    if (!sent) return fail(sent.error());
    if (*sent == 0) return fail(Error::UnexpectedEof);
    bytes.remove_prefix(*sent);
  }
  return {};
}

Status receiveExactly(int fd, std::span<char> out, const Deadline& deadline) {
  while (!out.empty()) {
    if (auto ready = awaitReady(fd, Direction::Read, deadline); !ready) return ready;
    auto received = readSome(fd, out);
    if (!received && received.error() == Error::WouldBlock) continue;
    if (!received) return fail(received.error());
    if (*received == 0) return fail(Error::UnexpectedEof);
    out = out.subspan(*received);
  }
  return {};
}

// The length prefix and the query go out in one buffer, so one segment usually
// carries the whole request.
Result<std::string> framed(std::string_view query) {
  std::string request;
  request.reserve(2 + query.size());
  appendU16(request, static_cast<uint16_t>(query.size()));
  request.append(query);
  return request;
}

Result<std::string> receiveReply(int fd, const Deadline& deadline) {
  char prefix[2];
  if (auto status = receiveExactly(fd, prefix, deadline); !status) return fail(status.error());
  size_t length = wireU16(std::string_view(prefix, sizeof prefix), 0);
  if (length < kDnsHeaderLength) return fail(Error::PacketTooShort);
  std::string reply(length, '\0');
  if (auto status = receiveExactly(fd, reply, deadline); !status) return fail(status.error());
  return reply;
}

Result<std::string> exchange(const ServerAddress& server, std::string_view query,
                             uint32_t timeoutMs) {
  if (query.size() > kMaxTcpMessage) return fail(Error::MessageTooBig);
  const Deadline deadline = Deadline::after(timeoutMs);
  auto socket = openSocket(server.family(), SOCK_STREAM);
  if (!socket) return fail(socket.error());
  const int fd = socket->get();
  if (auto status = setConnectLimit(fd, timeoutMs); !status) return fail(status.error());
  const auto connectMs = static_cast<uint32_t>(deadline.remainingMs());
  if (auto status = connectWithin(fd, server.get(), server.length, connectMs); !status) {
    return fail(status.error());
  }
  auto request = framed(query);
  if (!request) return request;
  if (auto status = sendAll(fd, *request, deadline); !status) return fail(status.error());
  return receiveReply(fd, deadline);
}

}  // namespace

Result<std::string> tcpExchange(const ServerAddress& server, std::string_view query,
                                uint32_t timeoutMs) {
  try {
    return exchange(server, query, timeoutMs);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
