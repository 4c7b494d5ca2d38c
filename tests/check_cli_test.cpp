// tollbrook-check run as a user runs it: usage, options and their number
// syntax, error messages and exit statuses, and message files of any bytes.
// None of these needs a key: no DNS server answers, so a lookup would show.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "tests/arc_test_support.h"

namespace tollbrook::testing {
namespace {

const std::string kUsage =
    "Usage: tollbrook-check [options] <message-file>\n"
    "\n"
    "Validate the ARC chain of an RFC 5322 message and print the chain\n"
    "validation value: none, pass or fail.\n"
    "\n"
    "Options:\n"
    "  -f <file>        Message file (may also be given positionally)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -b <bits>        Minimum RSA key bits accepted (default: 1024)\n"
    "  -r <count>       Key records to try at one selector (default: 3, max 8)\n"
    "  -m <ms>          Wall-clock budget for the whole validation (default:\n"
    "                   20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  -v               Verbose: also print the failure reason and instance count\n"
    "  -h               Show this help\n"
    "\n"
    "Exit status is 0 whenever a verdict was reached, including \"fail\" \u2014 the\n"
    "verdict goes to stdout. A non-zero status means the tool could not run.\n";

struct Expected {
  int status;
  std::string out;
  std::string err;
};

std::string show(const ProgramRun& run) {
  return "status " + std::to_string(run.status) + ", stdout \"" + run.out + "\", stderr \"" +
         run.err + "\"";
}

class CheckCliTest : public ::testing::Test {
 protected:
  CheckCliTest() {
    plain_ = dir_.write("plain.eml", "From: a@example.org\r\nSubject: hi\r\n\r\nbody\r\n");
    duplicateSeal_ = dir_.write("dup.eml",
                                "ARC-Seal: i=1; a=rsa-sha256; cv=none; d=x.example; s=s; b=AA\r\n"
                                "ARC-Seal: i=1; a=rsa-sha256; cv=none; d=x.example; s=s; b=AA\r\n"
                                "ARC-Message-Signature: i=1; a=rsa-sha256; b=AA\r\n"
                                "ARC-Authentication-Results: i=1; x.example; none\r\n"
                                "From: a@example.org\r\n\r\nbody\r\n");
    passFirst_ = dir_.write("cvpass.eml",
                            "ARC-Seal: i=1; a=rsa-sha256; cv=pass; d=x.example; s=s; b=AA\r\n"
                            "ARC-Message-Signature: i=1; a=rsa-sha256; b=AA\r\n"
                            "ARC-Authentication-Results: i=1; x.example; none\r\n"
                            "From: a@example.org\r\n\r\nbody\r\n");
  }

  // Runs the tool against a port nothing listens on: any key lookup would
  // time out, which no case here expects.
  ProgramRun check(std::vector<std::string> args) {
    args.insert(args.begin(), checkToolPath());
    return runProgram(args);
  }

  void expectRuns(const std::vector<std::pair<std::vector<std::string>, Expected>>& cases) {
    for (const auto& [args, want] : cases) {
      ProgramRun run = check(args);
      EXPECT_EQ(show(run), show(ProgramRun{want.status, want.out, want.err}))
          << "input " << ::testing::PrintToString(args);
    }
  }

  ScratchDir dir_;
  std::string plain_, duplicateSeal_, passFirst_;
};

Expected error(const std::string& message) {
  return {2, "", "tollbrook-check: " + message + "\n"};
}
Expected verdict(const std::string& line) {
  return {0, line + "\n", ""};
}

TEST_F(CheckCliTest, UsageAndOptionErrors) {
  expectRuns({
      {{"-h"}, {0, kUsage, ""}},
      {{"--help"}, {0, kUsage, ""}},
      {{"-v", "-m", "5", "-h", "-x"}, {0, kUsage, ""}},
      {{"-x", "-h"}, error("unknown option (use -h for help)")},
      {{"-"}, error("unknown option (use -h for help)")},
      {{"--verbose", plain_}, error("unknown option (use -h for help)")},
      {{}, error("a message file is required (use -h for help)")},
      {{"-v"}, error("a message file is required (use -h for help)")},
      {{"-f"}, error("missing argument for -f")},
      {{plain_, "-n"}, error("missing argument for -n")},
      {{plain_, "-p"}, error("missing argument for -p")},
      {{plain_, "-b"}, error("missing argument for -b")},
      {{plain_, "-r"}, error("missing argument for -r")},
      {{plain_, "-m"}, error("missing argument for -m")},
      {{"-p", "65536", plain_}, error("-p must be a port number")},
      {{"-p", "-1", plain_}, error("-p must be a port number")},
      {{"-p", "5_", plain_}, error("-p must be a port number")},
      {{"-b", "x", plain_}, error("-b must be a number")},
      {{"-b", "4294967296", plain_}, error("-b must be a number")},
      {{"-r", "0", plain_}, error("-r must be at least 1")},
      {{"-r", "300", plain_}, error("-r must be a number")},
      {{"-r", "-0", plain_}, error("-r must be at least 1")},
      {{"-m", "-5", plain_}, error("-m must be 0 (disabled) or a positive number of milliseconds")},
      {{"-m", "abc", plain_}, error("-m must be a number of milliseconds")},
      {{"-m", "_1", plain_}, error("-m must be a number of milliseconds")},
      {{"-m", "99999999999999999999", plain_}, error("-m must be a number of milliseconds")},
      {{"-r", "0", "-h"}, error("-r must be at least 1")},
      {{"-f", "-v"}, error("cannot read -v: FileNotFound")},  // a value is taken as it is
  });
}

TEST_F(CheckCliTest, AcceptedOptionValues) {
  expectRuns({
      {{plain_}, verdict("none")},
      {{"-v", plain_}, verdict("none")},
      {{"-f", plain_}, verdict("none")},
      {{"-p", "+5_353", "-b", "512", "-r", "20", "-m", "0", plain_}, verdict("none")},
      {{"-p", "-0", "-m", "-0", "-b", "-0", plain_}, verdict("none")},
      {{"-m", "1_000", "-r", "+8", plain_}, verdict("none")},
      {{"-n", "::1", plain_}, verdict("none")},
      {{"-v", "-v", "-f", "/nonexistent", plain_}, verdict("none")},  // the last file counts
  });
}

TEST_F(CheckCliTest, RunErrors) {
  std::string longPath(1101, 'a');  // "/" then 1100 letters
  longPath[0] = '/';
  std::string big = dir_.write("big.eml", "From: a\r\n\r\n" + std::string(8 * 1024 * 1024, 'x'));
  expectRuns({
      {{"/nonexistent/file"}, error("cannot read /nonexistent/file: FileNotFound")},
      {{dir_.path()}, error("cannot read " + dir_.path() + ": IsDir")},
      {{longPath}, error("cannot read " + longPath + ": NameTooLong")},
      {{big}, error("cannot read " + big + ": FileTooBig")},
      {{plain_, "-f", "/nonexistent"}, error("cannot read /nonexistent: FileNotFound")},
      // The nameserver is set up before the sets are read, even without ARC fields.
      {{"-n", "bogus", plain_}, error("DNS resolver: invalid nameserver address")},
      {{"-n", "mail.example.org", plain_}, error("DNS resolver: invalid nameserver address")},
      {{"-n", "127.0.0.01", plain_}, error("DNS resolver: invalid nameserver address")},
  });
}

// A verdict that could not be written is not a verdict: the status says so.
TEST_F(CheckCliTest, UnwritableOutputIsAFailureToRun) {
  ProgramRun run = runProgram({checkToolPath(), plain_}, "/dev/full");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "tollbrook-check: cannot write to standard output: NoSpaceLeft\n");
  run = runProgram({checkToolPath(), "-h"}, "/dev/full");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "tollbrook-check: cannot write to standard output: NoSpaceLeft\n");
}

TEST_F(CheckCliTest, StructuralVerdictsNeedNoKeys) {
  expectRuns({
      {{duplicateSeal_}, verdict("fail")},
      {{"-v", duplicateSeal_},
       verdict("fail reason=broken ARC chain: duplicate header in instance")},
      {{passFirst_}, verdict("fail")},
      {{"-v", passFirst_}, verdict("fail i=1 reason=first ARC-Seal cv must be none")},
  });
}

// Whatever bytes a message file holds, the tool ends with a verdict line.
TEST_F(CheckCliTest, MessageFilesOfAnyBytes) {
  std::mt19937 random(4);
  std::string binary(64 * 1024, '\0');
  for (char& c : binary) c = static_cast<char>(random());
  std::string folded = "Subject: start";
  for (int i = 0; i < 100000; ++i) folded += "\r\n\tfold";
  folded += "\r\nFrom: a\r\n\r\nbody";
  std::string fifty;  // 150 ARC fields whose newest AMS has no s=: refused without a lookup
  for (int i = 50; i >= 1; --i) {
    std::string n = std::to_string(i);
    fifty += "ARC-Seal: i=" + n + "; a=rsa-sha256; cv=" + (i == 1 ? "none" : "pass") +
             "; d=x.example; s=s; b=AA\r\n";
    fifty +=
        "ARC-Message-Signature: i=" + n + "; a=rsa-sha256; d=x.example; h=from; bh=AA; b=AA\r\n";
    fifty += "ARC-Authentication-Results: i=" + n + "; x.example; none\r\n";
  }
  std::string nested = "ARC-Authentication-Results: " + std::string(100000, '(') + "i=1; x\r\n";
  std::string commentedInstance =
      "ARC-Authentication-Results: (a (nested \\) comment)) i=(one)1(more); x\r\n"
      "ARC-Message-Signature: i=1; a=rsa-sha256; b=AA\r\n"
      "ARC-Seal: i=1; cv=fail\r\n\r\n";
  const char nulText[] = "ARC-Seal: i=1;\0cv=none\r\rX: \0\n\n";
  const std::string withNuls(nulText, sizeof nulText - 1);
  struct Case {
    std::string what, bytes, want;
  };
  const Case cases[] = {
      {"binary bytes", binary, ""},
      {"empty file", "", "none"},
      {"no header/body split", "ARC-Seal: i=1; cv=none\r\nFrom: a",
       "fail reason=broken ARC chain: incomplete instance"},
      {"only a body", "\r\n\r\nARC-Seal: i=1\r\n", "none"},
      {"huge folded field", folded, "none"},
      {"150 ARC fields", fifty + "From: a\r\n\r\nbody\r\n",
       "fail i=50 reason=AMS verification failed for newest set"},
      {"151 ARC fields", "ARC-Seal: i=51; cv=pass\r\n" + fifty + "\r\n",
       "fail reason=broken ARC chain: too many instances"},
      {"deeply nested comment", nested, "fail reason=broken ARC chain: malformed i= tag"},
      {"nested comments around i=", commentedInstance,
       "fail i=1 reason=first ARC-Seal cv must be none"},
      {"NUL bytes and bare CRs", withNuls, ""},
  };
  for (const Case& c : cases) {
    ProgramRun run = check({"-v", "-p", "9", dir_.write("any.eml", c.bytes)});
    EXPECT_EQ(run.status, 0) << "input " << c.what << ": " << show(run);
    EXPECT_EQ(run.err, "") << "input " << c.what;
    if (c.want.empty()) {
      EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "input " << c.what << ": one line";
    } else {
      EXPECT_EQ(run.out, c.want + "\n") << "input " << c.what;
    }
  }
}

}  // namespace
}  // namespace tollbrook::testing
