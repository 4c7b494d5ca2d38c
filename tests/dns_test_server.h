// A scriptable DNS server for tests: listens on one loopback address and port
// over UDP and TCP, and answers each query with whatever the test's handler
// returns (a normal answer, a truncated one, SERVFAIL, crafted bytes, or
// silence). Runs its own thread; handlers run on it. Counts the queries seen.
#ifndef TOLLBROOK_TESTS_DNS_TEST_SERVER_H_
#define TOLLBROOK_TESTS_DNS_TEST_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/dns_wire_builder.h"

namespace tollbrook::testing {

struct ReceivedQuery {
  uint16_t id = 0;
  std::string name;  // dotted, as sent (case kept)
  uint16_t type = 0;
  bool overTcp = false;
  std::string raw;
};

// The bytes to send back, or nullopt to stay silent (over TCP: close the
// connection without a reply). Over TCP the server adds the length prefix
// unless raw TCP framing is on.
using DnsHandler = std::function<std::optional<std::string>(const ReceivedQuery&)>;

struct TestAnswer {
  std::string owner;  // empty: the query name
  uint16_t type = 16;
  uint32_t ttl = 300;
  std::string rdata;
};

// A reply echoing the question, with QR and RD/RA set.
std::string buildReply(const ReceivedQuery& query, uint8_t rcode,
                       const std::vector<TestAnswer>& answers, bool truncated = false);

// Handlers for the common cases.
DnsHandler answerTxt(std::vector<std::string> texts, uint32_t ttl = 300);  // one record per text
DnsHandler answerRcode(uint8_t rcode);
DnsHandler silent();
// Over UDP: the given records with TC set; over TCP: the full handler's reply.
DnsHandler truncatedOverUdp(std::vector<TestAnswer> udpAnswers, DnsHandler overTcp);

class DnsTestServer {
 public:
  // Binds UDP and TCP on address (e.g. "127.0.0.1" or "::1") and port (0: one
  // the system picks, free for both protocols). nullptr when binding fails.
  static std::unique_ptr<DnsTestServer> start(const std::string& address, uint16_t port = 0);
  // Two servers on the same port, one on 127.0.0.1 and one on ::1, for tests
  // of several nameservers sharing one resolver port.
  static std::pair<std::unique_ptr<DnsTestServer>, std::unique_ptr<DnsTestServer>> startPair();
  ~DnsTestServer();

  uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  void setHandler(DnsHandler handler);
  void setRawTcpFraming(bool raw) { rawTcpFraming_ = raw; }
  // Over TCP, send the reply one byte at a time with this pause between bytes
  // (0: all at once), like a server that trickles its answer. The dripping
  // stops when the client goes away or the server is destroyed.
  void setTcpDripDelay(std::chrono::milliseconds delay) { tcpDripDelayMs_ = delay.count(); }

  int udpQueries() const { return udpQueries_; }
  int tcpQueries() const { return tcpQueries_; }
  std::vector<ReceivedQuery> queries() const;

 private:
  DnsTestServer() = default;
  void run();
  void serveUdp();
  void serveTcp();
  void sendTcpReply(int connection, const std::string& framed);
  std::optional<std::string> answer(ReceivedQuery query);

  std::string address_;
  uint16_t port_ = 0;
  int udp_ = -1;
  int tcp_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> rawTcpFraming_{false};
  std::atomic<int64_t> tcpDripDelayMs_{0};
  std::atomic<int> udpQueries_{0};
  std::atomic<int> tcpQueries_{0};
  mutable std::mutex mutex_;
  DnsHandler handler_;
  std::vector<ReceivedQuery> queries_;
  std::thread thread_;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DNS_TEST_SERVER_H_
