#include "platform/listen_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/unix_address.h"

namespace tollbrook {
namespace {

// A scratch directory removed with what it holds.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/tb-listen-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    path_ = pattern;
  }
  ~ScratchDir() { std::system(("rm -rf " + path_).c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool connectsUnix(const std::string& path) {
  UnixAddress address;
  if (!makeUnixAddress(path, address)) return false;
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return connect(fd.get(), address.get(), address.length) == 0;
}

void expectNonBlockingAndCloseOnExec(int fd) {
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
}

TEST(ListenUnix, BindsReplacingAStaleSocket) {
  ScratchDir dir;
  const std::string path = dir.path() + "/milter.sock";
  {
    Result<UniqueFd> stale = listenUnix(path);
    ASSERT_TRUE(stale.has_value());
  }
  // The socket file of a closed listener is still there; a new one replaces it.
  Result<UniqueFd> fd = listenUnix(path);
  ASSERT_TRUE(fd.has_value()) << errorName(fd.error());
  expectNonBlockingAndCloseOnExec(fd->get());
  EXPECT_TRUE(connectsUnix(path));
  removeUnixSocketPath(path);
  EXPECT_FALSE(connectsUnix(path));
}

TEST(ListenUnix, NeverTakesOverASocketSomeoneListensOn) {
  ScratchDir dir;
  const std::string path = dir.path() + "/milter.sock";
  Result<UniqueFd> live = listenUnix(path);
  ASSERT_TRUE(live.has_value());
  Result<UniqueFd> second = listenUnix(path);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), Error::AddressInUse);
  EXPECT_TRUE(connectsUnix(path)) << "the live listener lost its path";
}

TEST(ListenUnix, RefusesPathsItMustNotOrCannotBind) {
  ScratchDir dir;
  const std::string file = dir.path() + "/not-a-socket";
  { UniqueFd f(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)); }
  // A path of exactly the longest length, and one byte more.
  std::string longest = dir.path() + "/";
  longest += std::string(kLongestUnixSocketPath - longest.size(), 'a');
  struct Case {
    std::string path;
    Error want;
  } cases[] = {
      {longest + "a", Error::NameTooLong},
      {"", Error::InvalidArgument},
      {dir.path() + "/missing/milter.sock", Error::FileNotFound},
      {file, Error::AddressInUse},
  };
  for (const Case& c : cases) {
    Result<UniqueFd> fd = listenUnix(c.path);
    EXPECT_FALSE(fd.has_value()) << "input " << c.path << ": got a socket, want "
                                 << errorName(c.want);
    if (!fd) {
      EXPECT_EQ(fd.error(), c.want) << "input " << c.path << ": got " << errorName(fd.error())
                                    << ", want " << errorName(c.want);
    }
  }
  // The file that was in the way is still there, untouched.
  struct stat status {};
  EXPECT_EQ(stat(file.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  removeUnixSocketPath(file);
  EXPECT_EQ(stat(file.c_str(), &status), 0);

  Result<UniqueFd> fd = listenUnix(longest);
  EXPECT_TRUE(fd.has_value()) << "a path of " << longest.size() << " bytes";
}

TEST(ListenInet, NumericAddressesOnly) {
  struct Case {
    const char* address;
    bool ok;
  } cases[] = {
      {"127.0.0.1", true}, {"::1", true},      {"localhost", false},
      {"[::1]", false},    {"127.0.0", false}, {"", false},
  };
  for (const Case& c : cases) {
    Result<UniqueFd> fd = listenInet(c.address, 0);
    EXPECT_EQ(fd.has_value(), c.ok)
        << "input " << c.address << ": got " << (fd ? "a socket" : errorName(fd.error()));
    if (!c.ok && !fd) {
      EXPECT_EQ(fd.error(), Error::InvalidAddress) << "input " << c.address;
    }
    if (fd) expectNonBlockingAndCloseOnExec(fd->get());
  }
}

TEST(ListenInet, WorkersShareThePortButOthersCannotTakeIt) {
  Result<UniqueFd> first = listenInet("127.0.0.1", 0);
  ASSERT_TRUE(first.has_value());
  Result<uint16_t> port = boundPort(first->get());
  ASSERT_TRUE(port.has_value());
  ASSERT_NE(*port, 0);
  Result<UniqueFd> second = listenInet("127.0.0.1", *port);
  EXPECT_TRUE(second.has_value()) << "a second worker's socket on the same port";

  // A socket without SO_REUSEPORT holds the port against us.
  UniqueFd other(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(other.get(), 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(other.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  Result<UniqueFd> clash = listenInet("127.0.0.1", ntohs(address.sin_port));
  ASSERT_FALSE(clash.has_value());
  EXPECT_EQ(clash.error(), Error::AddressInUse);
}

TEST(ListenInet, AnAddressHeldByAnyListenerIsNotFree) {
  Result<UniqueFd> held = listenInet("127.0.0.1", 0);
  ASSERT_TRUE(held.has_value());
  Result<uint16_t> port = boundPort(held->get());
  ASSERT_TRUE(port.has_value());
  // Even a listener with SO_REUSEPORT, which our own sockets would join.
  Status taken = inetAddressIsFree("127.0.0.1", *port);
  ASSERT_FALSE(taken.has_value());
  EXPECT_EQ(taken.error(), Error::AddressInUse);
  Status wildcard = inetAddressIsFree("0.0.0.0", *port);
  ASSERT_FALSE(wildcard.has_value());
  EXPECT_EQ(wildcard.error(), Error::AddressInUse);
  held = UniqueFd();  // closed: the port is free again
  EXPECT_TRUE(inetAddressIsFree("127.0.0.1", *port).has_value());
  EXPECT_TRUE(inetAddressIsFree("127.0.0.1", 0).has_value());
  Status named = inetAddressIsFree("localhost", 25);
  ASSERT_FALSE(named.has_value());
  EXPECT_EQ(named.error(), Error::InvalidAddress);
}

TEST(ListenUnix, DuplicateIsASecondOwnerOfOneSocket) {
  ScratchDir dir;
  const std::string path = dir.path() + "/milter.sock";
  Result<UniqueFd> fd = listenUnix(path);
  ASSERT_TRUE(fd.has_value());
  Result<UniqueFd> copy = duplicateListenSocket(fd->get());
  ASSERT_TRUE(copy.has_value());
  expectNonBlockingAndCloseOnExec(copy->get());
  fd->reset();
  // The path still reaches the socket through the remaining owner.
  EXPECT_TRUE(connectsUnix(path));
}

}  // namespace
}  // namespace tollbrook
