// The health monitor against scripted servers: the probe it sends, the
// two-failures-down / one-success-up rule, and its thread's start and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dns/health_monitor.h"
#include "tests/dns_test_server.h"

namespace tollbrook {
namespace {

using testing::answerRcode;
using testing::DnsTestServer;
using testing::ReceivedQuery;
using testing::silent;

std::unique_ptr<HealthMonitor> makeMonitor(
    std::vector<std::string> servers, uint16_t port,
    std::chrono::milliseconds interval = std::chrono::milliseconds(5000)) {
  HealthMonitorSettings settings;
  settings.port = port;
  settings.probeTimeoutMs = 200;  // long enough for an answer on a loaded machine
  settings.probeInterval = interval;
  auto monitor = HealthMonitor::create(servers, settings);
  EXPECT_TRUE(monitor) << errorName(monitor.error());
  return monitor ? std::move(*monitor) : nullptr;
}

// Waits (bounded) until the condition holds; the monitor thread runs on its own clock.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TEST(HealthMonitor, SendsTheRootNsProbe) {
  auto server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(answerRcode(0));
  auto monitor = makeMonitor({"127.0.0.1"}, server->port());
  monitor->probeAll();
  auto queries = server->queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].raw, std::string("\x00\x01\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                        "\x00\x00\x02\x00\x01",
                                        17));
}

TEST(HealthMonitor, DownAfterTwoFailuresUpAfterOneSuccess) {
  auto [v4, v6] = DnsTestServer::startPair();
  ASSERT_TRUE(v4 && v6);
  v6->setHandler(answerRcode(5));  // any reply of header length counts, even REFUSED
  auto monitor = makeMonitor({"127.0.0.1", "::1"}, v4->port());
  ASSERT_EQ(monitor->serverCount(), 2u);

  struct Step {
    testing::DnsHandler handler;
    bool wantUp;
  };
  auto shortReply = [](const ReceivedQuery& q) -> std::optional<std::string> {
    return testing::buildReply(q, 0, {}).substr(0, 11);
  };
  const Step steps[] = {
      {silent(), true},        // first failure: still up
      {silent(), false},       // second consecutive failure: down
      {shortReply, false},     // an 11-byte reply is a failure
      {answerRcode(0), true},  // one success: up again
      {silent(), true},        // the counter started again from zero
      {answerRcode(2), true},  // a success between failures resets it
      {silent(), true},       {silent(), false},
  };
  int i = 0;
  for (const Step& step : steps) {
    v4->setHandler(step.handler);
    monitor->probeAll();
    EXPECT_EQ(monitor->isUp(0), step.wantUp) << "after probe " << i;
    EXPECT_TRUE(monitor->isUp(1)) << "after probe " << i;
    ++i;
  }
  EXPECT_FALSE(monitor->isUp(2)) << "slots beyond the list are never up";
  EXPECT_TRUE(monitor->anyUp());
}

TEST(HealthMonitor, CreateChecksCountAndAddresses) {
  struct Case {
    std::vector<std::string> servers;
    std::string want;
  };
  const Case cases[] = {
      {{}, "InvalidServerCount"},
      {std::vector<std::string>(9, "127.0.0.1"), "InvalidServerCount"},
      {std::vector<std::string>(8, "127.0.0.1"), "ok"},
      {{"127.0.0.1", "ns.example"}, "InvalidAddress"},
  };
  for (const Case& c : cases) {
    auto monitor = HealthMonitor::create(c.servers);
    EXPECT_EQ(monitor ? "ok" : std::string(errorName(monitor.error())), c.want)
        << c.servers.size() << " servers";
    if (monitor) {
      for (size_t i = 0; i < c.servers.size(); ++i) EXPECT_TRUE((*monitor)->isUp(i));
    }
  }
}

TEST(HealthMonitor, ThreadFollowsServersGoingDownAndUp) {
  auto server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(silent());
  auto monitor = makeMonitor({"127.0.0.1"}, server->port(), std::chrono::milliseconds(20));
  ASSERT_TRUE(monitor->start());
  EXPECT_TRUE(eventually([&] { return !monitor->isUp(0); })) << "silent server never went down";
  server->setHandler(answerRcode(0));
  EXPECT_TRUE(eventually([&] { return monitor->isUp(0); })) << "answering server never came up";
  monitor->stop();
  const int probes = server->udpQueries();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server->udpQueries(), probes) << "probing went on after stop";
}

TEST(HealthMonitor, StopInterruptsALongInterval) {
  auto server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(answerRcode(0));
  auto monitor = makeMonitor({"127.0.0.1"}, server->port(), std::chrono::hours(1));
  ASSERT_TRUE(monitor->start());
  ASSERT_TRUE(eventually([&] { return server->udpQueries() >= 1; }));
  const auto before = std::chrono::steady_clock::now();
  monitor->stop();
  // The stop wakes the interval wait at once; generous bound.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  monitor->stop();  // a second stop is harmless
}

// The daemon joins the monitor at shutdown; a probe waiting out its timeout on
// a silent server must not hold that up. A probe cut short is not a failure:
// after two such stops the server is still up.
TEST(HealthMonitor, StopInterruptsAProbeOfASilentServer) {
  auto server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(silent());
  HealthMonitorSettings settings;
  settings.port = server->port();
  settings.probeTimeoutMs = 30'000;
  settings.probeInterval = std::chrono::hours(1);
  auto monitor =
      HealthMonitor::create(std::vector<std::string>{"127.0.0.1", "127.0.0.1"}, settings);
  ASSERT_TRUE(monitor);
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE((*monitor)->start());
    ASSERT_TRUE(eventually([&] { return server->udpQueries() >= round; }));
    const auto before = std::chrono::steady_clock::now();
    (*monitor)->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3))
        << "stop waited for the probe, round " << round;
  }
  EXPECT_EQ(server->udpQueries(), 2) << "the second server was probed after the stop";
  EXPECT_TRUE((*monitor)->isUp(0));
}

}  // namespace
}  // namespace tollbrook
