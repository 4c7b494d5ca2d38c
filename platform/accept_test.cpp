#include "platform/accept.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/listen_socket.h"
#include "platform/unix_address.h"

namespace tollbrook {
namespace {

int intOption(int fd, int level, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  EXPECT_EQ(getsockopt(fd, level, option, &value, &length), 0);
  return value;
}

UniqueFd connectInet(const char* address, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length;
  int family;
  if (inet_pton(AF_INET, address, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr) == 1) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    family = AF_INET;
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    EXPECT_EQ(inet_pton(AF_INET6, address, &v6->sin6_addr), 1);
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  }
  UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), length), 0);
  return fd;
}

TEST(AcceptConnection, InetConnectionsAreLabelledAndTuned) {
  for (const char* address : {"127.0.0.1", "::1"}) {
    Result<UniqueFd> listener = listenInet(address, 0);
    ASSERT_TRUE(listener.has_value()) << address;
    UniqueFd client = connectInet(address, *boundPort(listener->get()));
    auto accepted = acceptConnection(listener->get());
    ASSERT_TRUE(accepted.has_value()) << address;
    const int fd = accepted->socket.get();
    EXPECT_EQ(accepted->peer.view(), address) << "input " << address;
    EXPECT_TRUE(accepted->inet);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK) << address;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << address;
    EXPECT_NE(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0) << address;
    EXPECT_NE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0) << address;
    // Nothing more pending.
    auto empty = acceptConnection(listener->get());
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error().error, Error::WouldBlock);
    EXPECT_EQ(empty.error().next, AcceptFailure::Next::Wait);
  }
}

TEST(AcceptConnection, UnixConnectionsAreLocal) {
  char pattern[] = "/tmp/tb-accept-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string path = std::string(pattern) + "/s";
  Result<UniqueFd> listener = listenUnix(path);
  ASSERT_TRUE(listener.has_value());
  UnixAddress address;
  ASSERT_TRUE(makeUnixAddress(path, address));
  UniqueFd client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(connect(client.get(), address.get(), address.length), 0);
  auto accepted = acceptConnection(listener->get());
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(accepted->peer.view(), "local");
  EXPECT_FALSE(accepted->inet);
  EXPECT_TRUE(fcntl(accepted->socket.get(), F_GETFL) & O_NONBLOCK);
  unlink(path.c_str());
  rmdir(pattern);
}

TEST(AcceptConnection, FailuresSayWhatToDoNext) {
  using Next = AcceptFailure::Next;
  // A socket that is not listening.
  UniqueFd idle(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  auto notListening = acceptConnection(idle.get());
  ASSERT_FALSE(notListening.has_value());
  EXPECT_EQ(notListening.error().error, Error::SocketNotListening);
  EXPECT_EQ(notListening.error().next, Next::Stop);

  // Out of descriptors: the connection stays pending for a later pass.
  Result<UniqueFd> listener = listenInet("127.0.0.1", 0);
  ASSERT_TRUE(listener.has_value());
  UniqueFd client = connectInet("127.0.0.1", *boundPort(listener->get()));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // every allowed number is taken
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  auto starved = acceptConnection(listener->get());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_FALSE(starved.has_value());
  EXPECT_EQ(starved.error().error, Error::ProcessFdQuotaExceeded);
  EXPECT_EQ(starved.error().next, Next::RetryLater);
  EXPECT_TRUE(acceptConnection(listener->get()).has_value()) << "still pending after the shortage";
}

TEST(AcceptConnection, ErrnoValuesMapToKindsAndTheNextStep) {
  using Next = AcceptFailure::Next;
  struct Case {
    int err;
    Error error;
    Next next;
  } cases[] = {
      {EAGAIN, Error::WouldBlock, Next::Wait},
      {ECONNABORTED, Error::ConnectionAborted, Next::TakeNext},
      {EPROTO, Error::ProtocolFailure, Next::TakeNext},
      {EPERM, Error::BlockedByFirewall, Next::TakeNext},
      {ENETDOWN, Error::Unexpected, Next::TakeNext},
      {EHOSTUNREACH, Error::Unexpected, Next::TakeNext},
      {ENOMEM, Error::SystemResources, Next::RetryLater},
      {ENOBUFS, Error::SystemResources, Next::RetryLater},
      {ENFILE, Error::SystemFdQuotaExceeded, Next::RetryLater},
      {EMFILE, Error::ProcessFdQuotaExceeded, Next::RetryLater},
      {EINVAL, Error::SocketNotListening, Next::Stop},
      {EBADF, Error::Unexpected, Next::Stop},
  };
  for (const Case& c : cases) {
    AcceptFailure failure = acceptFailureOf(c.err);
    EXPECT_EQ(failure.error, c.error)
        << "input errno " << c.err << ": got " << errorName(failure.error) << ", want "
        << errorName(c.error);
    EXPECT_EQ(failure.next, c.next)
        << "input errno " << c.err << ": got " << static_cast<int>(failure.next) << ", want "
        << static_cast<int>(c.next);
  }
}

TEST(PeerLabel, AddressesAndWhatDoesNotFit) {
  struct Case {
    int family;
    const char* address;
    const char* want;
  } cases[] = {
      {AF_INET, "192.0.2.7", "192.0.2.7"},
      {AF_INET, "0.0.0.0", "0.0.0.0"},
      {AF_INET6, "2001:db8:0:0:0:0:0:1", "2001:db8::1"},
      {AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {AF_INET6, "::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {AF_UNIX, "", "local"},
      {AF_UNSPEC, "", "local"},
  };
  for (const Case& c : cases) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    storage.ss_family = static_cast<sa_family_t>(c.family);
    if (c.family == AF_INET) {
      ASSERT_EQ(inet_pton(AF_INET, c.address, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr),
                1);
      length = sizeof(sockaddr_in);
    } else if (c.family == AF_INET6) {
      ASSERT_EQ(
          inet_pton(AF_INET6, c.address, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr), 1);
      length = sizeof(sockaddr_in6);
    }
    PeerLabel label = peerLabelOf(reinterpret_cast<sockaddr*>(&storage), length);
    EXPECT_EQ(label.view(), c.want)
        << "input " << c.address << ": got " << label.view() << ", want " << c.want;
  }
  // A truncated address record cannot be named.
  sockaddr_in short4{};
  short4.sin_family = AF_INET;
  EXPECT_EQ(peerLabelOf(reinterpret_cast<sockaddr*>(&short4), 4).view(), "unknown");
}

}  // namespace
}  // namespace tollbrook
