// SIGTERM sent to the built daemon while an MTA is connected: no new
// connections are taken, the message under way is answered in full, and the
// daemon exits 0 once the connection has gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "base/clock.h"
#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"

namespace tollbrook::testing {
namespace {

// Whether connections to 127.0.0.1:port are refused within a few seconds.
bool eventuallyRefused(uint16_t port) {
  const int64_t deadline = monotonicMilliseconds() + 10000;
  while (monotonicMilliseconds() < deadline) {
    if (!MilterClient::connectTcp(port)) return true;
    usleep(10000);
  }
  return false;
}

TEST(DaemonShutdown, MessageInFlightIsAnsweredInFullThenTheDaemonExits) {
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = baseConfig(dir);
  config.global.push_back("AuthservID = mx.example");
  config.listeners.push_back(
      {"mx", {"Socket = inet:" + std::to_string(port) + "@127.0.0.1", "Mode = verify"}});
  DaemonProcess daemon = DaemonProcess::withConfig(dir, dir.write("t.conf", config.text()));
  ASSERT_TRUE(daemon.waitUntilListening(port)) << daemon.log();

  std::string failure;
  std::optional<MilterClient> client = openMilterSession(port, failure);
  ASSERT_TRUE(client) << failure;
  const MtaMessage message = sampleMessage("in-flight");
  ASSERT_EQ(client->envfrom(message).value_or('?'), 'c');
  ASSERT_EQ(client->envrcpt("<bob@example.com>").value_or('?'), 'c');
  ASSERT_EQ(client->header("From", "Alice <alice@example.org>", false).value_or('?'), 'c');
  ASSERT_EQ(client->header("Subject", "in flight", false).value_or('?'), 'c');

  daemon.signal(SIGTERM);
  ASSERT_TRUE(daemon.waitForLog("shutdown signal 15 received, draining connections..."));
  // The listeners close as the drain begins.
  EXPECT_TRUE(eventuallyRefused(port)) << "a new connection was still accepted";

  ASSERT_EQ(client->endOfHeaders().value_or('?'), 'c');
  ASSERT_EQ(client->body("Hello Bob,\r\nsent while the daemon stops.\r\n").value_or('?'), 'c');
  Result<EndOfMessage> answer = client->endOfMessage(message.queueId);
  ASSERT_TRUE(answer) << errorName(answer.error()) << "\n" << daemon.log();
  EXPECT_EQ(answer->code, 'c');
  std::optional<HeaderChange> verdict = insertedField(*answer, "Authentication-Results");
  ASSERT_TRUE(verdict) << "no verdict field in the answer";
  EXPECT_NE(verdict->value.find("mx.example"), std::string::npos) << verdict->value;
  EXPECT_NE(verdict->value.find("arc=none"), std::string::npos) << verdict->value;
  EXPECT_TRUE(daemon.alive()) << "the daemon left while a connection was open";

  ASSERT_TRUE(client->quit());
  EXPECT_EQ(daemon.waitForExit(), 0) << daemon.log();
  EXPECT_EQ(daemon.log().find("drain timeout"), std::string::npos) << daemon.log();
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

}  // namespace
}  // namespace tollbrook::testing
