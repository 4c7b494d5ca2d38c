// tollbrook-check against chains dkimpy made, with their keys in a dnsmasq the
// test starts: every chain dkimpy seals and accepts must pass here, and every
// damaged chain must fail with the reason and instance of its damage.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/arc_test_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/dns_test_server.h"
#include "tests/outside_programs.h"

namespace tollbrook::testing {
namespace {

class CheckInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!missingPrograms(
             {OutsideProgram::Python3, OutsideProgram::Openssl, OutsideProgram::Dnsmasq})
             .empty()) {
      return;
    }
    auto fixtures = arcFixtures();
    ASSERT_TRUE(fixtures) << fixtures.error();
    dir_ = *fixtures;
    records_ = readRecords(dir_ + "/records.txt");
    dkimpy_ = readRecords(dir_ + "/dkimpy.txt");
    dns_ = std::make_unique<DnsmasqServer>(dnsmasqRecords(records_));
  }
  static void TearDownTestSuite() { dns_.reset(); }
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Openssl,
                           OutsideProgram::Dnsmasq);
    ASSERT_TRUE(dns_) << "the dkimpy fixtures could not be made";
    ASSERT_TRUE(dns_->running()) << dns_->failure();
  }

  static ProgramRun check(const std::string& fixture, std::vector<std::string> options = {"-v"}) {
    std::vector<std::string> argv = {checkToolPath(), "-n", "127.0.0.1", "-p",
                                     std::to_string(dns_->port())};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir_ + "/" + fixture + ".eml");
    return runProgram(argv);
  }

  static inline std::string dir_;
  static inline std::map<std::string, std::string> records_;
  static inline std::map<std::string, std::string> dkimpy_;
  static inline std::unique_ptr<DnsmasqServer> dns_;
};

struct Expectation {
  std::string fixture;
  std::string line;    // tollbrook-check -v output
  std::string dkimpy;  // dkimpy's own cv for the same message
};

TEST_F(CheckInteropTest, ChainsDkimpyMadePass) {
  const Expectation cases[] = {
      {"relaxed_1", "pass i=1 reason=-\n", "pass"},
      {"relaxed_2", "pass i=2 reason=-\n", "pass"},
      {"relaxed_3", "pass i=3 reason=-\n", "pass"},
      {"relaxed_4", "pass i=4 reason=-\n", "pass"},
      {"relaxed_5", "pass i=5 reason=-\n", "pass"},
      {"simple_1", "pass i=1 reason=-\n", "pass"},
      {"mixed_3", "pass i=3 reason=-\n", "pass"},
      {"lf_only_2", "pass i=2 reason=-\n", "pass"},
      {"empty_body_2", "pass i=2 reason=-\n", "pass"},
      {"trailing_blank_lines_2", "pass i=2 reason=-\n", "pass"},
      {"eight_bit_2", "pass i=2 reason=-\n", "pass"},
      {"body_changed_between_hops_2", "pass i=2 reason=-\n", "pass"},
  };
  for (const Expectation& c : cases) {
    ProgramRun run = check(c.fixture);
    EXPECT_EQ(run.out, c.line) << "input " << c.fixture << ": stderr " << run.err;
    EXPECT_EQ(run.status, 0) << "input " << c.fixture;
    EXPECT_EQ(run.err, "") << "input " << c.fixture;
    EXPECT_EQ(dkimpy_[c.fixture], c.dkimpy) << "input " << c.fixture << " (dkimpy)";
  }
}

TEST_F(CheckInteropTest, DamagedChainsFailWithTheirReason) {
  const Expectation cases[] = {
      {"body_changed_3", "fail i=3 reason=AMS verification failed for newest set\n", "fail"},
      {"signed_header_changed_3", "fail i=3 reason=AMS verification failed for newest set\n",
       "fail"},
      {"aar_changed_3", "fail i=2 reason=ARC-Seal verification failed\n", "fail"},
      {"seal_changed_3", "fail i=1 reason=ARC-Seal verification failed\n", "fail"},
      {"set_removed_3", "fail reason=broken ARC chain: missing instance\n", "fail"},
      {"duplicate_ams_3", "fail reason=broken ARC chain: duplicate header in instance\n", "fail"},
      {"revoked_key_3", "fail i=1 reason=ARC-Seal key record has no p= value\n", "fail"},
      {"weak_key_2", "fail i=2 reason=AMS signed with an RSA key below the minimum size\n", "fail"},
      {"unsupported_a_2", "fail i=2 reason=AMS a= names an unsupported algorithm\n", "fail"},
      // dkimpy calls a chain whose newest seal says cv=fail "ended" rather than failed.
      {"cv_fail_3", "fail i=3 reason=ARC-Seal cv must be pass for i>1\n", "none-ended"},
      {"nxdomain_1", "fail i=1 reason=AMS verification failed for newest set\n", "fail"},
  };
  for (const Expectation& c : cases) {
    ProgramRun run = check(c.fixture);
    EXPECT_EQ(run.out, c.line) << "input " << c.fixture << ": stderr " << run.err;
    EXPECT_EQ(run.status, 0) << "input " << c.fixture;
    EXPECT_EQ(dkimpy_[c.fixture], c.dkimpy) << "input " << c.fixture << " (dkimpy)";
  }
}

TEST_F(CheckInteropTest, OptionsChangeTheVerdict) {
  struct Case {
    std::string fixture;
    std::vector<std::string> options;
    std::string line;
  };
  const Case cases[] = {
      {"relaxed_3", {}, "pass\n"},
      {"body_changed_3", {}, "fail\n"},
      {"set_removed_3", {}, "fail\n"},
      // The second hop sealed with a 1024-bit key.
      {"mixed_3",
       {"-v", "-b", "2048"},
       "fail i=2 reason=ARC-Seal signed with an RSA key below the minimum size\n"},
      {"mixed_3", {"-v", "-b", "1_024"}, "pass i=3 reason=-\n"},
      {"weak_key_2",
       {"-v", "-b", "512"},
       "fail i=2 reason=AMS signed with an RSA key below the minimum size\n"},
      {"relaxed_5", {"-v", "-m", "0", "-r", "20"}, "pass i=5 reason=-\n"},
  };
  for (const Case& c : cases) {
    ProgramRun run = check(c.fixture, c.options);
    EXPECT_EQ(run.out, c.line) << "input " << c.fixture << " "
                               << ::testing::PrintToString(c.options) << ": stderr " << run.err;
    EXPECT_EQ(run.status, 0) << "input " << c.fixture;
  }
}

// Key lookups that are slow or never answered end in temperror, not fail.
class CheckSlowDnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Openssl);
    auto fixtures = arcFixtures();
    ASSERT_TRUE(fixtures) << fixtures.error();
    dir_ = *fixtures;
    records_ = readRecords(dir_ + "/records.txt");
    server_ = DnsTestServer::start("127.0.0.1");
    ASSERT_NE(server_, nullptr);
  }

  ProgramRun check(const std::string& fixture, std::vector<std::string> options) {
    std::vector<std::string> argv = {checkToolPath(), "-v", "-p", std::to_string(server_->port())};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir_ + "/" + fixture + ".eml");
    return runProgram(argv);
  }

  std::string dir_;
  std::map<std::string, std::string> records_;
  std::unique_ptr<DnsTestServer> server_;
};

TEST_F(CheckSlowDnsTest, TinyBudgetEndsAtTheFirstSealCheck) {
  // Every answer takes 200 ms, four times the budget: the run fetches the
  // AMS key and stops before the first seal.
  server_->setHandler([this](const ReceivedQuery& query) -> std::optional<std::string> {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto found = records_.find(query.name);
    if (found == records_.end()) return buildReply(query, 3, {});
    return answerTxt({found->second})(query);
  });
  ProgramRun run = check("relaxed_3", {"-m", "50"});
  EXPECT_EQ(run.out, "temperror i=1 reason=evaluation deadline exceeded during ARC-Seal checks\n")
      << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(server_->udpQueries(), 1);
}

// A server that never gives a usable reply. Each attempt gets a datagram too
// short to be a reply, which the resolver drops as it would wait out silence:
// the outcome of three unanswered attempts, without waiting 5 seconds for each.
// (The resolver's own tests wait out real silence, with short timeouts.)
TEST_F(CheckSlowDnsTest, ServerThatNeverAnswersIsATemporaryError) {
  server_->setHandler(tooShortToBeAReply());
  ProgramRun run = check("relaxed_2", {});
  EXPECT_EQ(run.out, "temperror i=2 reason=DNS lookup for the AMS key failed transiently\n")
      << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(server_->udpQueries(), 3);
}

}  // namespace
}  // namespace tollbrook::testing
