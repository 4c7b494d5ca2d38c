// The load generator of bench/ (milter-load) against the trivial milter and
// the daemon, so that the tools behind the performance table keep counting
// and speaking the protocol right. Nothing here is timed.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/milter_client.h"
#include "tests/program_run.h"

extern char** environ;

namespace tollbrook::testing {
namespace {

std::string benchProgram(const char* name) {
  return std::string(TOLLBROOK_BINARY_DIR) + "/bench/" + name;
}

// The value of `key` in milter-load's RESULT line; "(missing)" without one.
std::string resultField(const std::string& out, const std::string& key) {
  const size_t line = out.rfind("RESULT ");
  const size_t at = line == std::string::npos ? line : out.find(" " + key + "=", line);
  if (at == std::string::npos) return "(missing)";
  const size_t start = at + key.size() + 2;
  return out.substr(start, out.find_first_of(" \n", start) - start);
}

// trivial-milter on a unix socket in `dir`, killed on destruction.
class TrivialMilter {
 public:
  explicit TrivialMilter(const ScratchDir& dir) : path_(dir.file("trivial.sock")) {
    const std::string program = benchProgram("trivial-milter");
    const std::string address = "unix:" + path_;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(address.c_str()),
                    nullptr};
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
  }
  ~TrivialMilter() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  TrivialMilter(const TrivialMilter&) = delete;
  TrivialMilter& operator=(const TrivialMilter&) = delete;

  bool waitUntilListening() const {
    for (int i = 0; i < 400 && pid_ > 0; ++i) {
      if (MilterClient::connectUnix(path_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  pid_t pid() const { return pid_; }
  std::string address() const { return "unix:" + path_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

TEST(MilterLoad, CountsExactlyTheMessagesAskedForAcrossThreadsAndReconnects) {
  ScratchDir dir;
  TrivialMilter milter(dir);
  ASSERT_TRUE(milter.waitUntilListening());
  // 3 connections on 2 threads, a new connection every 7 messages, 20 warm-up
  // messages: the window must still hold exactly the 250 asked for.
  const ProgramRun run =
      runProgram({benchProgram("milter-load"), "--address", milter.address(), "--connections", "3",
                  "--threads", "2", "--messages", "250", "--warmup", "20", "--per-connection", "7",
                  "--expect", "a", "--pid", std::to_string(milter.pid()), "--rss-at", "10,270"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(resultField(run.out, "messages"), "250") << run.out;
  EXPECT_EQ(resultField(run.out, "unexpected"), "0") << run.out;
  for (const char* key : {"rss_10_kib", "rss_270_kib"}) {
    EXPECT_GT(std::atol(resultField(run.out, key).c_str()), 0) << key << ": " << run.out;
  }
}

TEST(MilterLoad, SendsWholeMessagesTheDaemonAnswersWithItsVerdict) {
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = baseConfig(dir);
  config.listeners.push_back(
      {"mx", {"Socket = inet:" + std::to_string(port) + "@127.0.0.1", "Mode = verify"}});
  DaemonProcess daemon = DaemonProcess::withConfig(dir, dir.write("load.conf", config.text()));
  ASSERT_TRUE(daemon.waitUntilListening(port)) << daemon.log();
  const std::string message = dir.write("plain.eml", sampleMessage("load").text);

  struct Case {
    std::string expect;
    int status;
    std::string unexpected;
  };
  // A message without a chain is answered continue after one verdict field;
  // asking for accept instead makes every message count as unexpected.
  const Case cases[] = {{"c", 0, "0"}, {"a", 1, "40"}};
  for (const Case& c : cases) {
    const ProgramRun run =
        runProgram({benchProgram("milter-load"), "--address",
                    "inet:127.0.0.1:" + std::to_string(port), "--message", message, "--messages",
                    "40", "--expect", c.expect, "--pid", std::to_string(daemon.pid())});
    EXPECT_EQ(run.status, c.status) << "expect " << c.expect << ": " << run.out << run.err;
    EXPECT_EQ(resultField(run.out, "unexpected"), c.unexpected)
        << "expect " << c.expect << ": " << run.out;
    EXPECT_NE(run.out.find("header changes received: 40;"), std::string::npos)
        << "expect " << c.expect << ": got " << run.out << ", want one verdict field a message";
  }
  EXPECT_TRUE(daemon.waitForLog("mode=verify", 80)) << daemon.log();
}

}  // namespace
}  // namespace tollbrook::testing
