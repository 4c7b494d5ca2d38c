// The resolver against dnsmasq, a DNS server we did not write: a 2048-bit key
// record longer than 255 bytes (dnsmasq splits it into character-strings) comes
// back whole over UDP, and an answer too large for the UDP reply comes back
// whole over TCP.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "dns/resolver.h"
#include "tests/dns_dnsmasq.h"
#include "tests/dns_log_capture.h"

namespace tollbrook {
namespace {

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

class DnsmasqTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::missingPrograms({testing::OutsideProgram::Dnsmasq}).empty()) return;
    std::vector<std::string> records = {"key._domainkey.test," + kKeyRecord,
                                        "multi.test,first,second,third"};
    for (const std::string& text : bigRecords()) records.push_back("big.test," + text);
    server_ = new testing::DnsmasqServer(records);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Dnsmasq);
    ASSERT_TRUE(server_->running()) << server_->failure();
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

  static testing::DnsmasqServer* server_;
  testing::LogCapture log_;
};

testing::DnsmasqServer* DnsmasqTest::server_ = nullptr;

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

// The launcher's waits are bounded whatever the program does: these stand-ins
// never answer, or end at once, and each ends as a server that is not running
// and says why. They need no dnsmasq.
TEST(DnsmasqLauncher, ServersThatNeverAnswerAreKilledAndExplained) {
  testing::ScratchDir dir;
  struct Case {
    std::string what, script;
    std::vector<std::string> wantInFailure;
  };
  const Case cases[] = {
      {"never answers, ignores SIGTERM",
       "trap '' TERM\necho listening soon >&2\nexec sleep 60\n",
       {"did not answer on 127.0.0.1:", "within 300 ms",
        "did not stop within 300 ms of SIGTERM; killed it", "(dnsmasq said: listening soon)"}},
      {"never answers", "exec sleep 60\n", {"did not answer on 127.0.0.1:", "within 300 ms"}},
      {"ends at once",
       "echo bad option >&2\nexit 1\n",
       {"dnsmasq ended before it answered (dnsmasq said: bad option)"}},
  };
  for (const Case& c : cases) {
    std::string program = dir.write("fake-dnsmasq", "#!/bin/sh\n" + c.script);
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    testing::DnsmasqServer server(
        {}, {"test"}, program,
        {.ready = std::chrono::milliseconds(300), .stop = std::chrono::milliseconds(300)});
    EXPECT_FALSE(server.running()) << "input " << c.what;
    for (const std::string& part : c.wantInFailure) {
      EXPECT_NE(server.failure().find(part), std::string::npos)
          << "input " << c.what << ": got \"" << server.failure() << "\", want it to hold \""
          << part << "\"";
    }
  }
  testing::DnsmasqServer missing({}, {"test"}, "");
  EXPECT_FALSE(missing.running());
  EXPECT_EQ(missing.failure(), "dnsmasq not found; install dnsmasq-base");
}

}  // namespace
}  // namespace tollbrook
