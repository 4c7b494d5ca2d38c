#include "platform/accept.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tollbrook {

AcceptFailure acceptFailureOf(int err) {
  using Next = AcceptFailure::Next;
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return {Error::WouldBlock, Next::Wait};
    // The connection died while it waited in the backlog, or a firewall
    // refused it. Linux also hands the network errors pending on the new
    // socket back from accept; the connections behind it are unaffected.
    case ECONNABORTED:
      return {Error::ConnectionAborted, Next::TakeNext};
    case EPROTO:
      return {Error::ProtocolFailure, Next::TakeNext};
    case EPERM:
      return {Error::BlockedByFirewall, Next::TakeNext};
#ifdef ENONET
    case ENONET:
#endif
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return {Error::Unexpected, Next::TakeNext};
    // Shortages: the connections stay in the backlog until something is freed.
    case ENOMEM:
    case ENOBUFS:
      return {Error::SystemResources, Next::RetryLater};
    case ENFILE:
      return {Error::SystemFdQuotaExceeded, Next::RetryLater};
    case EMFILE:
      return {Error::ProcessFdQuotaExceeded, Next::RetryLater};
    case EINVAL:
      return {Error::SocketNotListening, Next::Stop};
    default:
      return {Error::Unexpected, Next::Stop};
  }
}

namespace {

void setLabel(PeerLabel& label, std::string_view text) {
  if (text.size() > PeerLabel::kCapacity) text = "unknown";
  std::memcpy(label.text.data(), text.data(), text.size());
  label.length = static_cast<uint8_t>(text.size());
}

void setInetOptions(int fd) {
  const int one = 1;
  // Replies are small and the MTA waits for each; Nagle would only delay them.
  // Failures leave a working connection, so they are ignored.
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
}

}  // namespace

PeerLabel peerLabelOf(const sockaddr* address, socklen_t length) {
  PeerLabel label;
  if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) {
    setLabel(label, "local");
    return label;
  }
  const bool v4 = address->sa_family == AF_INET, v6 = address->sa_family == AF_INET6;
  if ((v4 && length < static_cast<socklen_t>(sizeof(sockaddr_in))) ||
      (v6 && length < static_cast<socklen_t>(sizeof(sockaddr_in6)))) {
    setLabel(label, "unknown");
    return label;
  }
  char text[INET6_ADDRSTRLEN + 1];
  if (v4) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
    const auto* b = reinterpret_cast<const unsigned char*>(&in4->sin_addr);
    int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    setLabel(label, n > 0 ? std::string_view(text, static_cast<size_t>(n)) : "unknown");
  } else if (v6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) {
      setLabel(label, "unknown");
    } else {
      setLabel(label, text);
    }
  } else {
    setLabel(label, "local");
  }
  return label;
}

std::expected<AcceptedConnection, AcceptFailure> acceptConnection(int listenFd) {
  sockaddr_storage peer{};
  socklen_t length;
  int fd;
  do {
    length = sizeof peer;
    fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(acceptFailureOf(errno));

  AcceptedConnection accepted;
  accepted.socket.reset(fd);
  accepted.inet = peer.ss_family == AF_INET || peer.ss_family == AF_INET6;
  if (accepted.inet) setInetOptions(fd);
  accepted.peer = peerLabelOf(reinterpret_cast<const sockaddr*>(&peer), length);
  return accepted;
}

}  // namespace tollbrook
