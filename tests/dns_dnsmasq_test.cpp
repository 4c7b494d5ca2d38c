// The resolver against dnsmasq, a DNS server we did not write: a 2048-bit key
// record longer than 255 bytes (dnsmasq splits it into character-strings) comes
// back whole over UDP, and an answer too large for the UDP reply comes back
// whole over TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dns/resolver.h"
#include "tests/dns_log_capture.h"

extern char** environ;

namespace tollbrook {
namespace {

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

// A 2048-bit RSA public key (SubjectPublicKeyInfo, Base64) made with openssl.
const std::string kKeyRecord =
    "v=DKIM1; k=rsa; "
    "p=MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA11cSVFXdSindxOmGKJubeha5CsWjiEvoLaDUoLb8fkdhg9Z"
    "qUIMUIwjFejpzYdWiCR28aGZaOJVEQadhS0KRKN80CZpMXPHmS8LtdRobE12QYOKiIe7XE9LyGBaDmZ0UdbWJtvgF8x"
    "ypKM80jB7NlZxZ+N855bKI7DdRDN2U5mbOx9cjqnM5L6TFBEBUcyZA39u5tQcwWHnmUrqtTp6lzrkyWtnXc/4FczXqj"
    "jWhx/2uz2KGhYa7q8AEfhgxA+NTAxP4jitu0tP5GKmkZ4tOS97wQKmVpZz2VFt4b+E+2jgEy3jEsfuKi3XSTWyyOKp"
    "j0C1c8kotaxyNn9IJhZucOwIDAQAB";

// Four such records exceed the 1,232-byte payload the query offers.
std::vector<std::string> bigRecords() {
  std::vector<std::string> records;
  for (char tag : {'a', 'b', 'c', 'd'}) records.push_back(std::string(1, tag) + "=" + kKeyRecord);
  return records;
}

// A loopback port free for both UDP and TCP at the time of the call.
uint16_t pickPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        bind(tcp, reinterpret_cast<sockaddr*>(&address), length) == 0) {
      port = ntohs(address.sin_port);
    }
    close(udp);
    close(tcp);
    if (port != 0) return port;
  }
  return 0;
}

bool acceptsTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

class Dnsmasq {
 public:
  // Starts dnsmasq on 127.0.0.1 with the given extra options; pid 0 on failure.
  explicit Dnsmasq(const std::vector<std::string>& records) {
    for (int attempt = 0; attempt < 5 && pid_ == 0; ++attempt) {
      port_ = pickPort();
      if (port_ != 0 && spawn(records) && waitReady()) return;
      stop();
    }
  }
  ~Dnsmasq() { stop(); }
  bool running() const { return pid_ != 0; }
  uint16_t port() const { return port_; }

 private:
  bool spawn(const std::vector<std::string>& records) {
    std::vector<std::string> args = {kDnsmasq,
                                     "--no-daemon",
                                     "--port=" + std::to_string(port_),
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--conf-file=/dev/null",
                                     "--pid-file",
                                     "--user=root",
                                     "--local=/test/"};
    for (const std::string& record : records) args.push_back("--txt-record=" + record);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, kDnsmasq, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    return true;
  }
  bool waitReady() {
    for (int i = 0; i < 200; ++i) {
      if (acceptsTcp(port_)) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: port taken, or bad option
        pid_ = 0;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  void stop() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
  }

  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

class DnsmasqTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (access(kDnsmasq, X_OK) != 0) return;
    std::vector<std::string> records = {"key._domainkey.test," + kKeyRecord,
                                        "multi.test,first,second,third"};
    for (const std::string& text : bigRecords()) records.push_back("big.test," + text);
    server_ = new Dnsmasq(records);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr || !server_->running()) GTEST_SKIP() << "dnsmasq did not start";
  }

  Resolver make() {
    ResolverSettings settings;
    settings.nameservers = {"127.0.0.1"};
    settings.port = server_->port();
    settings.timeoutMs = 2000;
    auto resolver = Resolver::create(settings);
    EXPECT_TRUE(resolver);
    return std::move(*resolver);
  }

  static Dnsmasq* server_;
  testing::LogCapture log_;
};

Dnsmasq* DnsmasqTest::server_ = nullptr;

TEST_F(DnsmasqTest, LongKeyRecordComesBackWholeOverUdp) {
  Resolver resolver = make();
  auto records = resolver.queryTxt("key._domainkey.test");
  ASSERT_TRUE(records) << errorName(records.error());
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ((*records)[0].type, 16);
  EXPECT_EQ((*records)[0].name, "key._domainkey.test");
  EXPECT_EQ((*records)[0].data, kKeyRecord);
  EXPECT_GT(kKeyRecord.size(), 255u);
  for (const std::string& line : log_.take()) {
    EXPECT_EQ(line.find("retrying over tcp"), std::string::npos) << line;
  }
}

TEST_F(DnsmasqTest, CharacterStringsAreJoinedWithoutSeparator) {
  Resolver resolver = make();
  auto records = resolver.queryTxt("multi.test");
  ASSERT_TRUE(records) << errorName(records.error());
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ((*records)[0].data, "firstsecondthird");
}

TEST_F(DnsmasqTest, AnswerTooLargeForUdpComesBackOverTcp) {
  Resolver resolver = make();
  auto records = resolver.queryTxt("big.test");
  ASSERT_TRUE(records) << errorName(records.error());
  std::vector<std::string> got;
  for (const DnsRecord& record : *records) got.push_back(record.data);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, bigRecords());
  auto lines = log_.take();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "debug dns: big.test truncated over udp, retrying over tcp"),
            lines.end());
}

TEST_F(DnsmasqTest, UnknownNameIsANameError) {
  Resolver resolver = make();
  EXPECT_EQ(resolver.queryTxt("nothere.test").error(), Error::DnsNameError);
}

}  // namespace
}  // namespace tollbrook
