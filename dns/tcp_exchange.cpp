#include "dns/tcp_exchange.h"

#include <sys/socket.h>

#include <cerrno>
#include <new>

#include "dns/response.h"
#include "platform/socket_options.h"
#include "dns/wire_bytes.h"
#include "platform/errno_map.h"
#include "platform/tcp_connect.h"

namespace tollbrook {

namespace {

constexpr size_t kMaxTcpMessage = 65535;

Status sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return fail(errorFromErrno(errno));
    if (sent == 0) return fail(Error::UnexpectedEof);
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return {};
}

Status receiveExactly(int fd, char* out, size_t length) {
  while (length > 0) {
    ssize_t received = recv(fd, out, length, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return fail(errorFromErrno(errno));
    if (received == 0) return fail(Error::UnexpectedEof);
    out += received;
    length -= static_cast<size_t>(received);
  }
  return {};
}

Status prepareSocket(int fd, uint32_t timeoutMs) {
  if (auto status = setConnectLimit(fd, timeoutMs); !status) return status;
  if (auto status = setReceiveTimeout(fd, timeoutMs); !status) return status;
  return setSendTimeout(fd, timeoutMs);
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

Result<std::string> receiveReply(int fd) {
  char prefix[2];
  if (auto status = receiveExactly(fd, prefix, sizeof prefix); !status) {
    return fail(status.error());
  }
  size_t length = wireU16(std::string_view(prefix, sizeof prefix), 0);
  if (length < kDnsHeaderLength) return fail(Error::PacketTooShort);
  std::string reply(length, '\0');
  if (auto status = receiveExactly(fd, reply.data(), length); !status) {
    return fail(status.error());
  }
  return reply;
}

Result<std::string> exchange(const ServerAddress& server, std::string_view query,
                             uint32_t timeoutMs) {
  if (query.size() > kMaxTcpMessage) return fail(Error::MessageTooBig);
  auto socket = openSocket(server.family(), SOCK_STREAM);
  if (!socket) return fail(socket.error());
  if (auto status = prepareSocket(socket->get(), timeoutMs); !status) {
    return fail(status.error());
  }
  if (auto status = connectWithin(socket->get(), server.get(), server.length, timeoutMs); !status) {
    return fail(status.error());
  }
  auto request = framed(query);
  if (!request) return request;
  if (auto status = sendAll(socket->get(), *request); !status) return fail(status.error());
  return receiveReply(socket->get());
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
