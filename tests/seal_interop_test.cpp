// Every set tollbrook-seal prints, placed on top of its message as a sealer
// inserts it, must verify with dkimpy's ARC verifier and with tollbrook-check:
// on messages without a chain and on chains dkimpy made (our set is then
// instance 2 to 5), keys served by a dnsmasq the test starts. Seals with
// cv=fail must cover their own set only.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/dns_dnsmasq.h"
#include "tests/outside_programs.h"
#include "tests/seal_test_support.h"

namespace tollbrook::testing {
namespace {

class SealInterop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!missingPrograms({OutsideProgram::Dnsmasq}).empty() || !SealWorld::get().ok()) return;
    dns_ = new DnsmasqServer(dnsmasqRecords(SealWorld::get().records()));
  }
  static void TearDownTestSuite() {
    delete dns_;
    dns_ = nullptr;
  }
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Openssl,
                           OutsideProgram::Dnsmasq);
    ASSERT_TRUE(SealWorld::get().ok())
        << "dkimpy chains or the sealer's key could not be made: " << SealWorld::get().error();
    ASSERT_NE(dns_, nullptr);
    ASSERT_TRUE(dns_->running()) << dns_->failure();
  }

  // Seals the named message; the printed set, or nullopt with a failure.
  std::optional<PrintedSet> seal(const std::string& name, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {toolPath("tollbrook-seal"),
                                     "-d",
                                     "seal.example",
                                     "-s",
                                     "sel",
                                     "-k",
                                     SealWorld::get().sealKey(),
                                     "-n",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(dns_->port())};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(SealWorld::get().message(name));
    ProgramRun run = runProgram(argv);
    EXPECT_EQ(run.status, 0) << name << ": " << run.err;
    EXPECT_EQ(run.err, "") << name;
    std::optional<PrintedSet> set = parsePrintedSet(run.out);
    EXPECT_TRUE(set.has_value()) << name << ": output " << run.out;
    return set;
  }

  std::string writeSealed(const std::string& name, const PrintedSet& set) {
    std::string original = readFile(SealWorld::get().message(name));
    return SealWorld::get().dir().write(name + ".sealed.eml", placeOnTop(set, original));
  }

  std::string dkimpyVerdict(const std::string& path) {
    ProgramRun run = runSealOracle({"verify", SealWorld::get().recordsFile(), path});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out.substr(0, run.out.find('\t'));
  }

  std::string dkimpySetCheck(const std::string& path, int instance, const std::string& scope) {
    ProgramRun run = runSealOracle(
        {"verify-set", SealWorld::get().recordsFile(), std::to_string(instance), scope, path});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }

  std::string checkVerdict(const std::string& path) {
    ProgramRun run = runProgram(
        {checkToolPath(), "-v", "-n", "127.0.0.1", "-p", std::to_string(dns_->port()), path});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }

  static DnsmasqServer* dns_;
};

DnsmasqServer* SealInterop::dns_ = nullptr;

TEST_F(SealInterop, NewSetsVerifyWithDkimpyAndTheCheckTool) {
  struct Case {
    std::string message;
    int wantInstance;
    std::string wantCv;
  } cases[] = {
      {"bare_0", 1, "none"},    {"empty_body_0", 1, "none"}, {"vouched_0", 1, "none"},
      {"simple_1", 2, "pass"},  {"relaxed_1", 2, "pass"},    {"relaxed_2", 3, "pass"},
      {"relaxed_3", 4, "pass"}, {"relaxed_4", 5, "pass"},    {"eight_bit_2", 3, "pass"},
      {"lf_only_2", 3, "pass"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::optional<PrintedSet> set = seal(c.message);
    if (!set) continue;
    std::string instance = std::to_string(c.wantInstance);
    EXPECT_EQ(tagOf(set->seal, "i"), instance);
    EXPECT_EQ(tagOf(set->ams, "i"), instance);
    EXPECT_TRUE(set->aar.starts_with("i=" + instance + "; ")) << set->aar;
    EXPECT_EQ(tagOf(set->seal, "cv"), c.wantCv);
    std::string sealed = writeSealed(c.message, *set);
    EXPECT_EQ(dkimpyVerdict(sealed), "pass") << "dkimpy, message " << c.message;
    EXPECT_EQ(checkVerdict(sealed), "pass i=" + instance + " reason=-\n")
        << "tollbrook-check, message " << c.message;
  }
}

TEST_F(SealInterop, FailSealsCoverOnlyTheNewSet) {
  struct Case {
    std::string message;  // what is wrong with its chain
    int wantInstance;
  } cases[] = {
      {"body_changed_2", 3},  // a signature that no longer verifies
      {"set_removed_3", 1},   // structurally broken: sealed as instance 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::optional<PrintedSet> set = seal(c.message);
    if (!set) continue;
    EXPECT_EQ(tagOf(set->seal, "cv"), "fail");
    EXPECT_EQ(tagOf(set->seal, "i"), std::to_string(c.wantInstance));
    std::string sealed = writeSealed(c.message, *set);
    EXPECT_EQ(dkimpySetCheck(sealed, c.wantInstance, "alone"), "ams=ok seal=ok\n");
  }
  // Over the whole chain the same seal does not verify: it signed its own set.
  std::optional<PrintedSet> set = seal("body_changed_2");
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(dkimpySetCheck(writeSealed("body_changed_2", *set), 3, "chain"), "ams=ok seal=bad\n");
}

TEST_F(SealInterop, VouchesOnlyForResultsOfLocalMethods) {
  // The first Authentication-Results has only spf; the second adds dkim, which
  // this host does not perform, so it is left out.
  std::optional<PrintedSet> set = seal("vouched_0", {"-a", "seal.example", "--methods", "spf"});
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(unfolded(set->aar), "i=1; seal.example; spf=pass smtp.mailfrom=example.org");
  std::string sealed = writeSealed("vouched_0", *set);
  EXPECT_EQ(dkimpyVerdict(sealed), "pass");
  EXPECT_EQ(checkVerdict(sealed), "pass i=1 reason=-\n");
}

TEST_F(SealInterop, AChainMarkedFailedIsNotContinued) {
  ProgramRun run =
      runProgram({toolPath("tollbrook-seal"), "-d", "seal.example", "-s", "sel", "-k",
                  SealWorld::get().sealKey(), "-n", "127.0.0.1", "-p", std::to_string(dns_->port()),
                  SealWorld::get().message("cv_fail_3")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace tollbrook::testing
