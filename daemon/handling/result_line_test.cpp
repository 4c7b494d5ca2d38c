// The result line: which client it names, and untrusted values sanitised.
#include "daemon/handling/result_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/dns_log_capture.h"
#include "tests/handling_unit_support.h"

namespace tollbrook::testing {
namespace {

TEST(ResultLine, NamesTheClientAndSanitisesWhatTheMtaSent) {
  const struct {
    std::string what;
    std::optional<std::string> queueId, clientAddr, connectAddress, daemonName;
    std::string want;
  } cases[] = {
      {"all set", "4Xb9Zq", "192.0.2.25", "192.0.2.99", "mx-in",
       "info id=4Xb9Zq peer=mx-in[192.0.2.25] client=192.0.2.25 listener=1 mode=both "
       "elapsed=7ms"},
      {"no queue id, empty client_addr", std::nullopt, "", "198.51.100.7", "mx-in",
       "info id=- peer=mx-in[192.0.2.25] client=198.51.100.7 listener=1 mode=both elapsed=7ms"},
      {"nothing known", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
       "info id=- peer=unknown[192.0.2.25] client=unknown listener=1 mode=both elapsed=7ms"},
      {"hostile bytes", "Q 1\n2", "a b\tc", std::nullopt, "mx\x01in",
       "info id=Q_1_2 peer=mx_in[192.0.2.25] client=a_b_c listener=1 mode=both elapsed=7ms"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<MilterConnection> connection = connectionWith("From: a@example.org");
    connection->listenerIndex = 1;
    connection->message.queueId = c.queueId;
    connection->clientAddr = c.clientAddr;
    connection->connectAddress = c.connectAddress;
    connection->daemonName = c.daemonName;
    LogCapture log;
    logResultLine(*connection, ListenerMode::Both, 7);
    const std::vector<std::string> lines = log.take();
    ASSERT_EQ(lines.size(), 1u) << c.what;
    EXPECT_EQ(lines[0], c.want) << "input " << c.what << ": got " << lines[0] << ", want "
                                << c.want;
  }
}

}  // namespace
}  // namespace tollbrook::testing
