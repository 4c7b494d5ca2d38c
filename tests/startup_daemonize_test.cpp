// Detaching with the readiness handshake, in real processes: a forked test
// child plays the process the administrator started, and the daemon it leaves
// behind reports what it finds (its descriptors, its session) before it says
// it is ready, dies, or says something else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <string>

#include "base/clock.h"
#include "daemon/startup/daemonize.h"
#include "tests/startup_test_support.h"

namespace tollbrook {
namespace {

using testing::AdoptOrphans;
using testing::Baton;
using testing::forkChild;
using testing::waitForExit;

enum class Daemon { SaysReady, DiesSilently, SaysSomethingElse };

bool onNullDevice(int fd) {
  struct stat null {
  }, info{};
  return stat("/dev/null", &null) == 0 && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
         info.st_rdev == null.st_rdev;
}

std::string currentDirectory() {
  char path[PATH_MAX];
  return getcwd(path, sizeof path) ? std::string(path) : std::string("?");
}

// What the daemon finds itself with, as one line: "pid=N rest". It should be
// in a session of its own (not the test's) without leading it, so that opening
// a terminal can never make one its controlling terminal.
std::string describeDaemon(int startupPipe, pid_t testSession) {
  bool nullStreams = onNullDevice(0) && onNullDevice(1) && onNullDevice(2);
  bool newSession = getsid(0) != testSession;
  bool sessionLeader = getsid(0) == getpid();
  bool closeOnExec = (fcntl(startupPipe, F_GETFD) & FD_CLOEXEC) != 0;
  return "pid=" + std::to_string(getpid()) + " null=" + std::to_string(nullStreams) +
         " new-session=" + std::to_string(newSession) + " leader=" + std::to_string(sessionLeader) +
         " cloexec=" + std::to_string(closeOnExec) + " cwd=" + currentDirectory() + "\n";
}

// The daemon's part after daemonize returned: report, act, then wait until
// the test lets it go (so the starting process cannot have waited for its end).
int actAsDaemon(Daemon behaviour, UniqueFd startupPipe, pid_t testSession, Baton& report,
                Baton& release) {
  report.send(describeDaemon(startupPipe.get(), testSession));
  switch (behaviour) {
    case Daemon::SaysReady:
      if (!reportReadiness(std::move(startupPipe))) return 4;
      break;
    case Daemon::DiesSilently:
      return 0;
    case Daemon::SaysSomethingElse:
      if (write(startupPipe.get(), "X", 1) != 1) return 4;
      break;
  }
  release.receive(20000);
  return 0;
}

// Reaps adopted descendants until none is left or the time is up: pid -> status.
std::map<pid_t, int> reapDescendants(int64_t timeoutMs) {
  std::map<pid_t, int> statuses;
  int64_t deadline = monotonicMilliseconds() + timeoutMs;
  while (monotonicMilliseconds() < deadline) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      statuses[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (pid < 0 && errno == ECHILD) {
      break;
    } else {
      usleep(5000);
    }
  }
  return statuses;
}

TEST(Daemonize, StartingProcessExitsByTheReadinessByte) {
  struct Case {
    Daemon behaviour;
    const char* name;
    int wantStatus;
  } cases[] = {
      {Daemon::SaysReady, "says K", 0},
      {Daemon::DiesSilently, "dies before writing", 1},
      {Daemon::SaysSomethingElse, "writes X", 1},
  };
  const std::string wantDescription =
      " null=1 new-session=1 leader=0 cloexec=1 cwd=" + currentDirectory() + "\n";
  const pid_t testSession = getsid(0);
  for (const auto& c : cases) {
    AdoptOrphans adopt;
    Baton report, release;
    pid_t starter = forkChild([&] {
      report.closeReadEnd();
      release.closeWriteEnd();
      auto startupPipe = daemonize();
      if (!startupPipe) return 3;
      return actAsDaemon(c.behaviour, std::move(*startupPipe), testSession, report, release);
    });
    ASSERT_GT(starter, 0);
    report.closeWriteEnd();
    release.closeReadEnd();

    int64_t start = monotonicMilliseconds();
    int status = waitForExit(starter, 90000);
    int64_t elapsed = monotonicMilliseconds() - start;
    EXPECT_EQ(status, c.wantStatus) << c.name << ": exit status";
    // Far below the 60 s limit: only the byte or the end of file ended the wait.
    EXPECT_LT(elapsed, 10000) << c.name << ": the starting process waited " << elapsed << " ms";

    std::string description = report.receiveLine(10000);
    size_t space = description.find(' ');
    ASSERT_TRUE(description.starts_with("pid=") && space != std::string::npos)
        << c.name << ": daemon report \"" << description << "\"";
    pid_t daemon = std::stoi(description.substr(4, space - 4));
    EXPECT_EQ(description.substr(space), wantDescription) << c.name;
    EXPECT_NE(daemon, starter);

    release.closeWriteEnd();
    if (!adopt.adopted()) continue;
    // The daemon and the intermediate process, both ours once orphaned.
    std::map<pid_t, int> reaped = reapDescendants(20000);
    EXPECT_EQ(reaped.size(), 2u) << c.name;
    for (auto [pid, exitStatus] : reaped) {
      EXPECT_EQ(exitStatus, 0) << c.name << ": " << (pid == daemon ? "daemon" : "intermediate")
                               << " process " << pid;
    }
  }
}

}  // namespace
}  // namespace tollbrook
