// Taking one pending connection from a listening socket: the new socket is
// non-blocking and close-on-exec, inet connections get TCP_NODELAY and
// SO_KEEPALIVE, and the peer is named for log lines. The caller owns the
// returned socket. Runs on the worker thread that owns the listener.
#ifndef TOLLBROOK_PLATFORM_ACCEPT_H_
#define TOLLBROOK_PLATFORM_ACCEPT_H_

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <expected>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// The text naming the peer of a connection: an IPv4 address in dotted
// decimal, an IPv6 address in its compressed form ("2001:db8::1", no brackets,
// no scope), "local" for unix and every other family, "unknown" for anything
// that does not fit 64 bytes. No port.
struct PeerLabel {
  static constexpr size_t kCapacity = 64;
  std::array<char, kCapacity> text{};
  uint8_t length = 0;

  std::string_view view() const { return {text.data(), length}; }
};

struct AcceptedConnection {
  UniqueFd socket;
  PeerLabel peer;
  bool inet = false;
};

// Why accept failed, and what the caller can do about it.
struct AcceptFailure {
  enum class Next : uint8_t {
    Wait,        // nothing is pending (WouldBlock): wait for the next event
    TakeNext,    // only this pending connection was lost; the next may be taken
    RetryLater,  // out of descriptors or memory: connections stay pending
    Stop,        // the listener itself is unusable
  };
  Error error;  // the kind the log line names
  Next next;
};

// accept4, retried when interrupted. Errors: EAGAIN WouldBlock, EPERM
// BlockedByFirewall, ENOMEM and ENOBUFS SystemResources, EINVAL
// SocketNotListening, ENFILE SystemFdQuotaExceeded, EMFILE
// ProcessFdQuotaExceeded, ECONNABORTED ConnectionAborted, EPROTO
// ProtocolFailure, anything else Unexpected.
[[nodiscard]] std::expected<AcceptedConnection, AcceptFailure> acceptConnection(int listenFd);

// The failure accept reports for an errno value.
AcceptFailure acceptFailureOf(int err);

// The label of a peer address as accept or getpeername returned it.
PeerLabel peerLabelOf(const sockaddr* address, socklen_t length);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_ACCEPT_H_
