// The built daemon started as a process: the command line, the start-up
// failures with their lines and exit statuses, the foreground and detached
// starts with the pid file's life, the privilege drop, and the warning about
// sealing listeners other hosts can reach.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "tests/daemon_support.h"
#include "tests/dns_dnsmasq.h"
#include "tests/milter_client.h"
#include "tests/startup_test_support.h"

namespace tollbrook::testing {
namespace {

std::string listenerSocket(uint16_t port) {
  return "Socket = inet:" + std::to_string(port) + "@127.0.0.1";
}

// A config of the base with one verify listener on `port`.
ConfigText verifyConfig(const ScratchDir& dir, uint16_t port) {
  ConfigText config = baseConfig(dir);
  config.listeners.push_back({"mx", {listenerSocket(port), "Mode = verify"}});
  return config;
}

struct FailureCase {
  std::string name;
  std::vector<std::string> arguments;  // "{conf}" stands for the written config's path
  std::string config;                  // empty: no file is written
  std::vector<std::string> expected;   // every one must appear in the output
};

TEST(DaemonStartup, FailuresLogTheirLineAndExitWithOne) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string smallKey = dir.file("small.pem");
  const std::string openKey = dir.file("open.pem");
  ASSERT_FALSE(writeRsaKey(smallKey, 512).empty());
  ASSERT_FALSE(writeRsaKey(openKey, 1024, 0640).empty());
  const uint16_t port = pickFreeLoopbackPort();
  auto withSealKey = [&](const std::string& key) {
    ConfigText config = verifyConfig(dir, port);
    config.global.insert(config.global.end(), {"SealDomain = example.org", "SealSelector = sel",
                                               "SealKeyFile = " + key});
    return config.text();
  };
  ConfigText unknownKey = verifyConfig(dir, port);
  unknownKey.global.push_back("SealDomian = example.org");
  ConfigText badNameserver = verifyConfig(dir, port);
  badNameserver.global.push_back("DnsNameserver = 127.0.0.1, resolver.example");

  const std::vector<FailureCase> cases = {
      {"no arguments",
       {},
       "",
       {"usage: tollbrook -c <config-file>", "error: error.InvalidArgument"}},
      {"-c alone",
       {"-c"},
       "",
       {"usage: tollbrook -c <config-file>", "error: error.InvalidArgument"}},
      {"other flag", {"-f", "{conf}"}, "", {"usage: tollbrook -c", "error: error.InvalidArgument"}},
      {"missing file",
       {"-c", dir.file("absent.conf")},
       "",
       {"failed to load config " + dir.file("absent.conf") + ": error.FileNotFound",
        "fatal: exiting on error.FileNotFound", "error: error.FileNotFound"}},
      {"unknown key",
       {"-c", "{conf}"},
       unknownKey.text(),
       {"config: [global] unrecognized key \"SealDomian\" (typo?); refusing to start",
        "config parse error: error.InvalidConfiguration", "error: error.InvalidConfiguration"}},
      {"nameserver that is no address",
       {"-c", "{conf}"},
       badNameserver.text(),
       {"DnsNameserver=resolver.example is not a valid nameserver address",
        "config parse error: error.InvalidNameserver", "error: error.InvalidNameserver"}},
      {"key readable by its group",
       {"-c", "{conf}"},
       withSealKey(openKey),
       {"seal key " + openKey +
            " is mode 640, readable beyond its owner: chmod 600 and chown it to the user the "
            "daemon drops to",
        "error: error.KeyFilePermissionsTooOpen"}},
      {"key below 1024 bits",
       {"-c", "{conf}"},
       withSealKey(smallKey),
       {"seal key " + smallKey +
            " is below the RFC 8301 minimum of 1024 bits: refusing to seal with it",
        "error: error.RsaKeyTooSmall"}},
      {"missing key file",
       {"-c", "{conf}"},
       withSealKey(dir.file("none.pem")),
       {"failed to load seal key " + dir.file("none.pem") + ": error.FileNotFound"}},
  };
  for (const FailureCase& c : cases) {
    const std::string conf = dir.write("failing.conf", c.config);
    std::vector<std::string> arguments = c.arguments;
    for (std::string& argument : arguments) {
      if (argument == "{conf}") argument = conf;
    }
    DaemonProcess daemon(dir, arguments);
    const int status = daemon.waitForExit();
    const std::string output = daemon.log();
    EXPECT_EQ(status, 1) << c.name << ": got status " << status << ", want 1\n" << output;
    for (const std::string& line : c.expected) {
      EXPECT_NE(output.find(line), std::string::npos)
          << c.name << ": want a line with \"" << line << "\"; got\n"
          << output;
    }
    EXPECT_FALSE(daemon.waitUntilListening(port, 0)) << c.name << ": something listens";
  }
}

TEST(DaemonStartup, ForegroundKeepsItsPidInThePidFileAndStopsOnSigint) {
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  // A pid file left by a crashed instance blocks nothing: nobody holds its lock.
  ASSERT_EQ(mkdir(dir.file("run").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(dir.file("run/tollbrook.pid"), "1\n"));
  const std::string conf = dir.write("t.conf", verifyConfig(dir, port).text());
  DaemonProcess daemon = DaemonProcess::withConfig(dir, conf);
  ASSERT_TRUE(daemon.waitUntilListening(port)) << daemon.log();
  EXPECT_EQ(readFile(dir.file("run/tollbrook.pid")), std::to_string(daemon.pid()) + "\n");
  EXPECT_TRUE(daemon.waitForLog("listener[0] mode=verify")) << daemon.log();
  EXPECT_TRUE(
      daemon.waitForLog("Tollbrook starting, AuthservID=localhost, "
                        "MinimumKeyBits=1024, listeners=1"));

  daemon.signal(SIGINT);
  EXPECT_EQ(daemon.waitForExit(), 0) << daemon.log();
  EXPECT_NE(daemon.log().find("shutdown signal 2 received, draining connections..."),
            std::string::npos)
      << daemon.log();
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

TEST(DaemonStartup, SecondInstanceRefusesWhileTheFirstHoldsThePidFile) {
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  const std::string conf = dir.write("first.conf", verifyConfig(dir, port).text());
  DaemonProcess first = DaemonProcess::withConfig(dir, conf);
  ASSERT_TRUE(first.waitUntilListening(port)) << first.log();

  const std::string secondConf =
      dir.write("second.conf", verifyConfig(dir, pickFreeLoopbackPort()).text());
  DaemonProcess second = DaemonProcess::withConfig(dir, secondConf);
  EXPECT_EQ(second.waitForExit(), 1) << second.log();
  EXPECT_NE(
      second.log().find("pid file " + dir.file("run/tollbrook.pid") + " is held by live process " +
                        std::to_string(first.pid()) + "; refusing to start a second instance"),
      std::string::npos)
      << second.log();
  EXPECT_NE(second.log().find("error: error.AlreadyRunning"), std::string::npos);
  // The refused instance leaves the first one's file alone.
  EXPECT_EQ(readFile(dir.file("run/tollbrook.pid")), std::to_string(first.pid()) + "\n");
  first.signal(SIGTERM);
  EXPECT_EQ(first.waitForExit(), 0) << first.log();
}

// Inet listeners share their port among the workers (SO_REUSEPORT) and a
// unix listener replaces a stale socket file: neither may let a second
// daemon, with a pid file of its own, take a running one's port or path.
TEST(DaemonStartup, SecondDaemonOnAPortOrPathInUseRefusesToStart) {
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  const std::string path = dir.file("milter.sock");
  ConfigText firstConfig = verifyConfig(dir, port);
  firstConfig.listeners.push_back({"local", {"Socket = unix:" + path, "Mode = verify"}});
  DaemonProcess first = DaemonProcess::withConfig(dir, dir.write("first.conf", firstConfig.text()));
  ASSERT_TRUE(first.waitUntilListening(port)) << first.log();

  struct Case {
    std::string name, socket;
  } cases[] = {{"same port", listenerSocket(port)}, {"same unix path", "Socket = unix:" + path}};
  for (const Case& c : cases) {
    ConfigText config{{"Foreground = yes", "Syslog = no", "LogLevel = info",
                       "PidFile = " + dir.file("other.pid"), "WorkerThreads = 2"},
                      {{"mx", {c.socket, "Mode = verify"}}}};
    DaemonProcess second = DaemonProcess::withConfig(dir, dir.write("second.conf", config.text()));
    EXPECT_EQ(second.waitForExit(), 1) << c.name << "\n" << second.log();
    EXPECT_NE(second.log().find("error.AddressInUse"), std::string::npos) << c.name << "\n"
                                                                          << second.log();
  }
  // The first daemon still has both: the port, and the path (connectable).
  EXPECT_TRUE(first.waitUntilListening(port, 0));
  EXPECT_TRUE(MilterClient::connectUnix(path).has_value())
      << "the running daemon lost its unix path";
  first.signal(SIGTERM);
  EXPECT_EQ(first.waitForExit(), 0) << first.log();
}

// The starting process stays until the daemon serves and then exits 0; the
// daemon runs on under another pid, recorded in the pid file.
TEST(DaemonStartup, DetachedStartReportsReadinessThroughTheExitStatus) {
  AdoptOrphans adopt;
  ASSERT_TRUE(adopt.adopted()) << "cannot become a subreaper to wait for the daemon";
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = verifyConfig(dir, port);
  config.global.at(0) = "Foreground = no";
  const std::string conf = dir.write("t.conf", config.text());

  ProgramRun starter = runProgram({daemonPath(), "-c", conf});
  ASSERT_EQ(starter.status, 0) << starter.err;
  const std::string recorded = readFile(dir.file("run/tollbrook.pid"));
  ASSERT_FALSE(recorded.empty());
  const pid_t daemonPid = std::stoi(recorded);
  EXPECT_EQ(kill(daemonPid, 0), 0) << "the daemon named in the pid file is not running";
  EXPECT_TRUE(MilterClient::connectTcp(port).has_value()) << "the daemon does not listen";

  kill(daemonPid, SIGTERM);
  EXPECT_EQ(waitForExit(daemonPid, 60000), 0);
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

// A failure after detaching (the port is taken) reaches the starting process
// as end of file at once, not after the 60 s readiness wait.
TEST(DaemonStartup, DetachedDaemonThatFailsEndsTheStarterAtOnce) {
  AdoptOrphans adopt;
  ScratchDir dir;
  uint16_t port = 0;
  UniqueFd occupant(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(occupant.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(occupant.get(), 1), 0);
    socklen_t length = sizeof address;
    getsockname(occupant.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ConfigText config = verifyConfig(dir, port);
  config.global.at(0) = "Foreground = no";
  const std::string conf = dir.write("t.conf", config.text());

  const int64_t started = monotonicMilliseconds();
  ProgramRun starter = runProgram({daemonPath(), "-c", conf});
  EXPECT_EQ(starter.status, 1);
  EXPECT_LT(monotonicMilliseconds() - started, 30000) << "the starter waited for the timeout";
  // The pid file was written before the sockets were made, and removed again.
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

// Runs `command` through the shell; true when it exits 0.
bool shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// A system user made for one test and removed after it.
class ThrowawayUser {
 public:
  ThrowawayUser() : name_("tbtest" + std::to_string(getpid())) {
    made_ = shell("useradd --system --no-create-home --shell /usr/sbin/nologin " + name_ +
                  " >/dev/null 2>&1");
  }
  ~ThrowawayUser() {
    if (made_) (void)shell("userdel " + name_ + " >/dev/null 2>&1");
  }
  bool made() const { return made_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool made_ = false;
};

// The ids and supplementary groups of a process, from /proc.
std::string statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
  }
  return {};
}

std::string collapsed(std::string text) {
  std::istringstream words(text);
  std::string word, out;
  while (words >> word) out += (out.empty() ? "" : " ") + word;
  return out;
}

TEST(DaemonStartup, DropsPrivilegesAfterPreparingWhatNeedsRoot) {
  if (!runningAsRoot()) GTEST_SKIP() << "dropping privileges needs root";
  ThrowawayUser user;
  if (!user.made()) GTEST_SKIP() << "useradd could not make a system user";
  ScratchDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // the user must reach its run directory
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = verifyConfig(dir, port);
  config.global.push_back("User = " + user.name());
  const std::string conf = dir.write("t.conf", config.text());

  DaemonProcess daemon = DaemonProcess::withConfig(dir, conf);
  ASSERT_TRUE(daemon.waitUntilListening(port)) << daemon.log();
  const std::string uid = std::to_string(getpwnam(user.name().c_str())->pw_uid);
  const std::string gid = std::to_string(getpwnam(user.name().c_str())->pw_gid);
  EXPECT_EQ(collapsed(statusField(daemon.pid(), "Uid")), uid + " " + uid + " " + uid + " " + uid);
  EXPECT_EQ(collapsed(statusField(daemon.pid(), "Gid")), gid + " " + gid + " " + gid + " " + gid);
  EXPECT_EQ(collapsed(statusField(daemon.pid(), "Groups")), "");
  // The run directory it made as root belongs to the user, so the pid file
  // can still be removed at the end.
  struct stat runDir {};
  ASSERT_EQ(stat(dir.file("run").c_str(), &runDir), 0);
  EXPECT_EQ(std::to_string(runDir.st_uid), uid);

  // What the dropped process can no longer do: read a root-only file. A
  // reload that names a new root-only key keeps the identity in force.
  const std::string key = dir.file("root-only.pem");
  ASSERT_FALSE(writeRsaKey(key, 1024).empty());
  config.global.insert(config.global.end(),
                       {"SealDomain = example.org", "SealSelector = next", "SealKeyFile = " + key});
  ASSERT_TRUE(writeFile(conf, config.text()));
  daemon.signal(SIGHUP);
  EXPECT_TRUE(daemon.waitForLog("reload: failed to reload seal key " + key)) << daemon.log();

  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0) << daemon.log();
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

TEST(DaemonStartup, RootAsUserStopsAfterThePidFileAndRemovesIt) {
  if (!runningAsRoot()) GTEST_SKIP() << "the privilege drop is attempted only as root";
  ScratchDir dir;
  const uint16_t port = pickFreeLoopbackPort();
  ConfigText config = verifyConfig(dir, port);
  config.global.push_back("User = root");
  DaemonProcess daemon = DaemonProcess::withConfig(dir, dir.write("t.conf", config.text()));
  EXPECT_EQ(daemon.waitForExit(), 1);
  EXPECT_NE(daemon.log().find("privilege drop to 'root' failed: error.RefusingToDropToRoot"),
            std::string::npos)
      << daemon.log();
  EXPECT_NE(access(dir.file("run/tollbrook.pid").c_str(), F_OK), 0) << "pid file left behind";
}

TEST(DaemonStartup, WarnsAboutSealingListenersOtherHostsCanReach) {
  ScratchDir dir;
  const uint16_t open = pickFreeLoopbackPort();
  const uint16_t local = pickFreeLoopbackPort();
  const uint16_t verify = pickFreeLoopbackPort();
  ConfigText config = baseConfig(dir);
  config.listeners = {
      {"open", {"Socket = inet:" + std::to_string(open), "Mode = both"}},
      {"local", {listenerSocket(local), "Mode = seal"}},
      {"verify", {"Socket = inet:" + std::to_string(verify) + "@0.0.0.0", "Mode = verify"}},
      {"unix", {"Socket = unix:" + dir.file("seal.sock"), "Mode = seal"}},
  };
  DaemonProcess daemon = DaemonProcess::withConfig(dir, dir.write("t.conf", config.text()));
  ASSERT_TRUE(daemon.waitUntilListening(local)) << daemon.log();
  const std::vector<std::string> warnings = daemon.logLines("is reachable beyond this host");
  ASSERT_EQ(warnings.size(), 1u) << daemon.log();
  EXPECT_NE(warnings[0].find("listener[0] mode=both on 0.0.0.0:" + std::to_string(open) +
                             " is reachable beyond this host: anyone who can connect can have "
                             "mail sealed with this host's key"),
            std::string::npos)
      << warnings[0];
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0) << daemon.log();
}

}  // namespace
}  // namespace tollbrook::testing
