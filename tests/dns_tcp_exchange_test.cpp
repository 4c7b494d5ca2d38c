// The TCP exchange on its own: the connect, and the exchange as a whole, are
// bounded by the query timeout even where the platform has no
// connection-establishment option, and the framing errors surface as their own
// kinds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "base/unique_fd.h"
#include "dns/query.h"
#include "dns/tcp_exchange.h"
#include "tests/dns_test_server.h"

namespace tollbrook {
namespace {

// A listener that never accepts, its queue filled by connections of our own,
// so that a further connect gets no answer at all.
class FullListener {
 public:
  FullListener() {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_.get(), 0);
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 4; ++i) {
      UniqueFd filler(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      connect(filler.get(), reinterpret_cast<sockaddr*>(&address), length);
      fillers_.push_back(std::move(filler));
    }
  }
  uint16_t port() const { return port_; }

 private:
  UniqueFd listener_;
  std::vector<UniqueFd> fillers_;
  uint16_t port_ = 0;
};

TEST(TcpExchange, ConnectGivesUpAfterTheTimeout) {
  FullListener listener;
  auto server = parseServerAddress("127.0.0.1", listener.port());
  ASSERT_TRUE(server);
  auto query = buildTxtQuery("k.example", 1);
  ASSERT_TRUE(query);
  const auto before = std::chrono::steady_clock::now();
  auto reply = tcpExchange(*server, *query, 200);
  const auto waited = std::chrono::steady_clock::now() - before;
  ASSERT_FALSE(reply);
  EXPECT_EQ(reply.error(), Error::ConnectionTimedOut);
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(20)) << "the connect was not bounded";
}

TEST(TcpExchange, ReplyAndFramingErrors) {
  auto server = testing::DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  auto address = parseServerAddress("127.0.0.1", server->port());
  ASSERT_TRUE(address);
  auto query = buildTxtQuery("k.example", 0x4242);
  ASSERT_TRUE(query);

  server->setHandler(testing::answerTxt({"v=DKIM1"}));
  auto reply = tcpExchange(*address, *query, 1000);
  ASSERT_TRUE(reply) << errorName(reply.error());
  EXPECT_EQ(reply->substr(0, 2), "\x42\x42");

  server->setHandler(testing::silent());
  EXPECT_EQ(tcpExchange(*address, *query, 1000).error(), Error::UnexpectedEof);

  server->setRawTcpFraming(true);
  server->setHandler([](const testing::ReceivedQuery&) -> std::optional<std::string> {
    return std::string("\x00\x0b", 2) + std::string(11, 'x');
  });
  EXPECT_EQ(tcpExchange(*address, *query, 1000).error(), Error::PacketTooShort);
  server->setHandler([](const testing::ReceivedQuery&) -> std::optional<std::string> {
    return std::string("\x00\x40", 2) + std::string(20, 'x');  // 64 announced, 20 sent
  });
  EXPECT_EQ(tcpExchange(*address, *query, 1000).error(), Error::UnexpectedEof);
}

// Each byte arrives well within the timeout, but the reply as a whole would
// take seconds: the timeout bounds the exchange, not each wait.
TEST(TcpExchange, TimeoutBoundsTheWholeExchange) {
  auto server = testing::DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  auto address = parseServerAddress("127.0.0.1", server->port());
  ASSERT_TRUE(address);
  auto query = buildTxtQuery("k.example", 7);
  ASSERT_TRUE(query);
  server->setHandler(testing::answerTxt({std::string(300, 'k')}));  // about 350 bytes
  server->setTcpDripDelay(std::chrono::milliseconds(20));
  const auto before = std::chrono::steady_clock::now();
  auto reply = tcpExchange(*address, *query, 300);
  const auto waited = std::chrono::steady_clock::now() - before;
  ASSERT_FALSE(reply) << "all " << reply->size() << " bytes trickled in past the timeout";
  EXPECT_EQ(reply.error(), Error::WouldBlock) << errorName(reply.error());
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(3)) << "the exchange outlived its timeout";
}

TEST(TcpExchange, ClosedPortIsRefused) {
  uint16_t port;
  {
    auto server = testing::DnsTestServer::start("127.0.0.1");
    ASSERT_TRUE(server);
    port = server->port();
  }
  auto address = parseServerAddress("127.0.0.1", port);
  ASSERT_TRUE(address);
  EXPECT_EQ(tcpExchange(*address, "query", 1000).error(), Error::ConnectionRefused);
}

}  // namespace
}  // namespace tollbrook
