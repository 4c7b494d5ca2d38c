// tollbrook-seal run as a user runs it: options and their number syntax, the
// usage text, every refusal with its message and status, the outcomes of a
// validation that cannot decide, and byte-reproducible output with -t.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/dns_dnsmasq.h"
#include "tests/dns_test_server.h"
#include "tests/seal_test_support.h"

namespace tollbrook::testing {
namespace {

constexpr std::string_view kUsage =
    R"(Usage: tollbrook-seal [options] <message-file>

Seal a message with the same code path the milter uses, and print the three
header fields of the new ARC set to stdout, separated by blank lines:

  ARC-Authentication-Results: ...

  ARC-Seal: ...

  ARC-Message-Signature: ...

Required:
  -d <domain>        Signing domain (d=)
  -s <selector>      Selector (s=)
  -k <file>          RSA private key, PEM

Options:
  -a <authserv-id>   authserv-id for the AAR, and the id whose
                     Authentication-Results this host will vouch for
  --headers <list>   Colon-separated h= list for the AMS
                     (default: from:to:subject:date:message-id)
  --methods <list>   Comma-separated local authentication methods this host
                     performs. Only A-R results whose methods are all listed
                     are sealed; anything else is sender-supplied and yields
                     an honest "none" (RFC 8617 5.1.1)
  -t <timestamp>     Signature timestamp for t= (default: now). Fix it to make
                     output byte-reproducible
  -n <nameserver>    DNS nameserver for validating the existing chain
                     (default: 127.0.0.1)
  -p <port>          DNS nameserver port (default: 53)
  -b <bits>          Minimum RSA key bits accepted when validating (default: 1024)
  -r <count>         Key records to try at one selector (default: 3, max 8)
  -m <ms>            Wall-clock budget for validating the existing chain
                     (default: 20000, the daemon's MaxEvaluationMs; 0 disables)
  -h, --help         Show this help

The chain already on the message is validated first, because the cv= this host
seals is a statement about it. Exit status is 0 on success, non-zero if no set
could be produced.
)";

ProgramRun seal(const std::vector<std::string>& args, const char* stdoutPath = nullptr) {
  std::vector<std::string> argv = {toolPath("tollbrook-seal")};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, stdoutPath);
}

class SealCli : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(world().ok()); }
  static SealWorld& world() { return SealWorld::get(); }
  // The required options for the sealer's key, before any others.
  static std::vector<std::string> with(std::vector<std::string> args) {
    std::vector<std::string> all = {"-d", "seal.example", "-s", "sel", "-k", world().sealKey()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
};

TEST_F(SealCli, RefusesBadCommandLinesWithTheirMessage) {
  const std::string bare = world().message("bare_0");
  const std::string key = world().sealKey();
  struct Case {
    std::vector<std::string> args;
    std::string wantErr;
  } cases[] = {
      {{}, "a message file is required (use -h for help)"},
      {{bare, "-"}, "unknown option (use -h for help)"},
      {{bare, "--head"}, "unknown option (use -h for help)"},
      {{bare}, "-d <domain> is required"},
      {{bare, "-d", "x"}, "-s <selector> is required"},
      {{bare, "-d", "x", "-s", "y"}, "-k <keyfile> is required"},
      {{"-d", "x", "-s", "y", "-k", key}, "a message file is required (use -h for help)"},
      {{bare, "-d"}, "-d needs a value"},
      {{bare, "--methods"}, "--methods needs a value"},
      {{bare, "-m"}, "-m needs a value"},
      {{bare, "-t", "soon"}, "-t must be a number"},
      {{bare, "-t", "1_"}, "-t must be a number"},
      {{bare, "-t", "-1"}, "-t must be a number"},
      {{bare, "-t", "18446744073709551616"}, "-t must be a number"},
      {{bare, "-p", "65536"}, "-p must be a port number"},
      {{bare, "-b", "4294967296"}, "-b must be a number"},
      {{bare, "-r", "0"}, "-r must be at least 1"},
      {{bare, "-r", "300"}, "-r must be a number"},
      {{bare, "-m", "soon"}, "-m must be a number of milliseconds"},
      {{bare, "-m", "-5"}, "-m must be 0 (disabled) or a positive number of milliseconds"},
      {{bare, "-x", "-h"}, "unknown option (use -h for help)"},
  };
  for (const Case& c : cases) {
    ProgramRun run = seal(c.args);
    std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(run.status, 2) << "args " << shown;
    EXPECT_EQ(run.err, "tollbrook-seal: " + c.wantErr + "\n") << "args " << shown;
    EXPECT_EQ(run.out, "") << "args " << shown;
  }
}

TEST_F(SealCli, HelpPrintsTheUsageAndEndsTheRun) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-h"}, {"--help"}, {"-d", "x", "-h", "-x"}}) {
    ProgramRun run = seal(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsage) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, "");
  }
}

// Output that was not written must not end with status 0, for the usage text
// as for a set; the check tool reports it the same way.
TEST_F(SealCli, UnwritableOutputIsAFailureToRun) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-h"}, with({world().message("bare_0")})}) {
    ProgramRun run = seal(args, "/dev/full");
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err, "tollbrook-seal: cannot write to standard output: NoSpaceLeft\n")
        << ::testing::PrintToString(args);
  }
}

// The file limit (8 MiB) is checked before bare LF line ends become CR LF, the
// body limit (MaxBodyBytes, 10 MiB) after: a file of empty LF lines can pass
// the first and not the second. The daemon would abandon such a body and not
// seal it, so neither does the tool; a body of exactly the limit is sealed.
TEST_F(SealCli, ABodyOverMaxBodyBytesIsNotSealed) {
  const std::string header = "From: a@example.org\n\n";
  const size_t limit = 10u << 20;
  std::string atLimit =
      world().dir().write("body-at-limit.eml", header + std::string(limit / 2, '\n'));
  std::string overLimit =
      world().dir().write("body-over-limit.eml", header + std::string(6'000'000, '\n'));
  ASSERT_LT(readFile(overLimit).size(), 8u << 20);

  ProgramRun sealed = seal(with({"-t", "1", atLimit}));
  EXPECT_EQ(sealed.status, 0) << sealed.err;
  EXPECT_TRUE(parsePrintedSet(sealed.out).has_value()) << sealed.out.substr(0, 200);

  ProgramRun refused = seal(with({"-t", "1", overLimit}));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "tollbrook-seal: sealing failed: the accumulated body is unavailable\n");
  EXPECT_EQ(refused.out, "");
}

TEST_F(SealCli, RefusesInputsItCannotUse) {
  const ScratchDir& dir = world().dir();
  std::string openKey = dir.write("open.pem", readFile(world().sealKey()));
  chmod(openKey.c_str(), 0644);
  std::string notKey = dir.write("not-a-key.pem", "hello\n");
  chmod(notKey.c_str(), 0600);
  std::string fifty;
  for (int i = 50; i >= 1; --i) {
    std::string n = std::to_string(i);
    fifty += "ARC-Seal: i=" + n + "; cv=" + (i == 1 ? "none" : "pass") +
             "; a=rsa-sha256; d=x.example; s=s; b=AAAA\r\n"
             "ARC-Message-Signature: i=" +
             n +
             "; a=rsa-sha256; d=x.example; s=s; h=from; bh=AAAA; b=AAAA\r\n"
             "ARC-Authentication-Results: i=" +
             n + "; x.example; none\r\n";
  }
  std::string atFifty = dir.write("fifty.eml", fifty + "From: a@example.org\r\n\r\nbody\r\n");
  std::string bare = world().message("bare_0");
  // One field more than the daemon accumulates: sealing the 500 it kept would
  // sign and vouch for a header block that is not the message's.
  std::string manyFields = "From: a@example.org\r\n";
  for (int i = 0; i < 500; ++i) manyFields += "X-Filler: " + std::to_string(i) + "\r\n";
  std::string overLimit = dir.write("many-fields.eml", manyFields + "\r\nbody\r\n");
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string wantErr;
  } cases[] = {
      {"missing message file", with({dir.file("absent.eml")}), "cannot read the message file"},
      {"message path too long", with({std::string(1024, 'm')}), "cannot read the message file"},
      {"key readable by others",
       {"-d", "x", "-s", "y", "-k", openKey, bare},
       "the RSA private key is readable beyond its owner; chmod 600 it"},
      {"not a key", {"-d", "x", "-s", "y", "-k", notKey, bare}, "cannot load the RSA private key"},
      {"missing key",
       {"-d", "x", "-s", "y", "-k", dir.file("absent.pem"), bare},
       "cannot load the RSA private key"},
      {"instance 50 reached", with({atFifty}), "the chain is already at the maximum instance"},
      {"nameserver not an address", with({"-n", "dns.example", bare}),
       "DNS resolver: invalid nameserver address"},
      {"more header fields than MaxHeaders", with({overLimit}),
       "the header block exceeds the daemon's limits (MaxHeaders=500, MaxHeaderBytes=1048576); "
       "the daemon would not seal this message"},
  };
  for (const Case& c : cases) {
    ProgramRun run = seal(c.args);
    EXPECT_EQ(run.status, 2) << c.what;
    EXPECT_EQ(run.err, "tollbrook-seal: " + c.wantErr + "\n") << c.what;
    EXPECT_EQ(run.out, "") << c.what;
  }
}

TEST_F(SealCli, ABuilderFailureNamesItsStepWithStatus1) {
  ProgramRun run = seal(with({"--headers", std::string(159, 'h'), world().message("bare_0")}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "tollbrook-seal: sealing failed: formatting the AMS template\n");
  EXPECT_EQ(run.out, "");
}

TEST_F(SealCli, OutputIsByteReproducibleWithAFixedTimestamp) {
  std::string crlf = world().message("relaxed_1");
  std::string lf = world().dir().write("relaxed_1_lf.eml", [&] {
    std::string text = readFile(crlf);
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  }());
  DnsmasqServer dns(dnsmasqRecords(world().records()));
  ASSERT_TRUE(dns.running());
  std::vector<std::string> common = {"-n", "127.0.0.1",    "-p", std::to_string(dns.port()),
                                     "-t", "1_700_000_000"};
  ProgramRun first =
      seal(with({common[0], common[1], common[2], common[3], common[4], common[5], crlf}));
  ProgramRun second =
      seal(with({common[0], common[1], common[2], common[3], common[4], common[5], crlf}));
  ProgramRun bareLf =
      seal(with({common[0], common[1], common[2], common[3], common[4], common[5], lf}));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.out, bareLf.out) << "LF-only file";
  std::optional<PrintedSet> set = parsePrintedSet(first.out);
  ASSERT_TRUE(set.has_value()) << first.out;
  EXPECT_EQ(tagOf(set->seal, "t"), "1700000000");
  EXPECT_EQ(tagOf(set->ams, "t"), "1700000000");

  ProgramRun zero = seal(with({"-t", "-0", world().message("bare_0")}));
  ASSERT_EQ(zero.status, 0) << zero.err;
  EXPECT_EQ(tagOf(parsePrintedSet(zero.out)->seal, "t"), "0");

  ProgramRun now = seal(with({world().message("bare_0")}));
  ASSERT_EQ(now.status, 0) << now.err;
  int64_t t = std::stoll(tagOf(parsePrintedSet(now.out)->ams, "t"));
  int64_t clock = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  EXPECT_LE(std::abs(clock - t), 60) << "t= should be the current time";
}

// A server that answers the chain's key queries only after `delay`.
DnsHandler slowKeys(std::chrono::milliseconds delay) {
  return [delay](const ReceivedQuery& query) -> std::optional<std::string> {
    std::this_thread::sleep_for(delay);
    auto record = SealWorld::get().records().find(query.name);
    if (record == SealWorld::get().records().end()) return buildReply(query, 3, {});
    return answerTxt({record->second})(query);
  };
}

TEST_F(SealCli, NeverSealsAGuessWhenTheChainCannotBeJudged) {
  struct Case {
    std::string what;
    DnsHandler handler;
    std::vector<std::string> extra;
    std::string wantErr;
  } cases[] = {
      {"SERVFAIL for the key",
       answerRcode(2),
       {},
       "cannot determine cv=: transient DNS failure while validating the existing chain "
       "(sealing cv=fail would be permanent)"},
      {"budget spent on the first key",
       slowKeys(std::chrono::milliseconds(300)),
       {"-m", "100"},
       "cannot determine cv=: evaluation deadline exceeded while validating the existing "
       "chain (sealing cv=fail would be permanent)"},
  };
  for (Case& c : cases) {
    std::unique_ptr<DnsTestServer> server = DnsTestServer::start("127.0.0.1");
    ASSERT_TRUE(server) << c.what;
    server->setHandler(c.handler);
    std::vector<std::string> args = {"-n", "127.0.0.1", "-p", std::to_string(server->port())};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back(world().message("relaxed_1"));
    ProgramRun run = seal(with(args));
    EXPECT_EQ(run.status, 2) << c.what;
    EXPECT_EQ(run.err, "tollbrook-seal: " + c.wantErr + "\n") << c.what;
    EXPECT_EQ(run.out, "") << c.what;
  }
  // With the budget switched off the same slow server is simply waited for.
  std::unique_ptr<DnsTestServer> server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(slowKeys(std::chrono::milliseconds(100)));
  ProgramRun run = seal(with({"-n", "127.0.0.1", "-p", std::to_string(server->port()), "-m", "0",
                              world().message("relaxed_1")}));
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(parsePrintedSet(run.out).has_value()) << run.out;
  EXPECT_EQ(tagOf(parsePrintedSet(run.out)->seal, "cv"), "pass");
}

}  // namespace
}  // namespace tollbrook::testing
