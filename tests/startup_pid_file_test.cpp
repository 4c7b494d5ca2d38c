// The pid file and its lock, with real processes holding it: a live holder
// blocks a second instance with the exact log line, a stale file never does,
// the lock taken before detaching is still held by the daemon afterwards, and
// nothing is ever written through a symlink.
#include "daemon/startup/pid_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "daemon/startup/daemonize.h"
#include "tests/dns_log_capture.h"
#include "tests/program_run.h"
#include "tests/startup_test_support.h"

namespace tollbrook {
namespace {

using testing::AdoptOrphans;
using testing::Baton;
using testing::forkChild;
using testing::LogCapture;
using testing::readFile;
using testing::ScratchDir;
using testing::waitForExit;
using testing::writeFile;

std::string pidLine(pid_t pid) {
  return std::to_string(pid) + "\n";
}

std::string heldLine(const std::string& path, const std::string& pid) {
  return "err pid file " + path + " is held by live process " + pid +
         "; refusing to start a second instance";
}

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Status of a check made from a process of its own (a second instance starting).
int checkFromAnotherProcess(const std::string& path) {
  pid_t child = forkChild([&] {
    auto pidFile = checkPidFile(path);
    if (pidFile) return 0;
    return pidFile.error() == Error::AlreadyRunning ? 1 : 2;
  });
  return waitForExit(child, 10000);
}

// A running instance in a child process: checks, writes, says "ready" and
// holds the file until the test releases it (or kills it).
class RunningInstance {
 public:
  explicit RunningInstance(const std::string& path) {
    pid_ = forkChild([&] {
      ready_.closeReadEnd();
      release_.closeWriteEnd();
      auto pidFile = checkPidFile(path);
      if (!pidFile || !writePidFile(*pidFile)) return 3;
      ready_.send("ready\n");
      release_.receive(20000);
      return 0;
    });
    ready_.closeWriteEnd();
    release_.closeReadEnd();
    started_ = ready_.receiveLine(10000) == "ready\n";
  }
  ~RunningInstance() {
    if (pid_ > 0) kill();
  }

  bool started() const { return started_; }
  pid_t pid() const { return pid_; }
  // Dies without removing its file, as after a crash.
  void kill() {
    ::kill(pid_, SIGKILL);
    waitForExit(pid_, 10000);
    pid_ = -1;
  }

 private:
  Baton ready_, release_;
  pid_t pid_ = -1;
  bool started_ = false;
};

class PidFileTest : public ::testing::Test {
 protected:
  void SetUp() override { savedMask_ = umask(022); }
  void TearDown() override { umask(savedMask_); }

  ScratchDir dir;
  std::string path = dir.file("tollbrook.pid");
  LogCapture log;

 private:
  mode_t savedMask_ = 0;
};

TEST_F(PidFileTest, ANewFileIsCreatedLockedAndRemoved) {
  auto pidFile = checkPidFile(path);
  ASSERT_TRUE(pidFile);
  EXPECT_FALSE(pidFile->held());
  ASSERT_TRUE(writePidFile(*pidFile));
  EXPECT_TRUE(pidFile->held());
  EXPECT_TRUE(pidFile->written());
  EXPECT_EQ(readFile(path), pidLine(getpid()));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u) << "0666 less the umask";
  EXPECT_EQ(checkFromAnotherProcess(path), 1) << "our lock must block a second instance";

  removePidFile(*pidFile);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "the file is removed";
  EXPECT_EQ(log.takeJoined(), heldLine(path, std::to_string(getpid())));
}

TEST_F(PidFileTest, ALiveHolderBlocksUntilItDies) {
  RunningInstance other(path);
  ASSERT_TRUE(other.started());
  log.take();

  auto blocked = checkPidFile(path);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), Error::AlreadyRunning);
  EXPECT_EQ(log.takeJoined(), heldLine(path, std::to_string(other.pid())));

  // After a crash the file stays, with a pid the kernel may give to anyone;
  // the lock went with the process.
  other.kill();
  auto pidFile = checkPidFile(path);
  ASSERT_TRUE(pidFile);
  EXPECT_TRUE(pidFile->held());
  ASSERT_TRUE(writePidFile(*pidFile));
  EXPECT_EQ(readFile(path), pidLine(getpid()));
  EXPECT_EQ(log.takeJoined(), "");
}

// Whatever an unlocked file says, even the pid of a live process, it does not
// block, and the pid is written through the descriptor the check locked.
TEST_F(PidFileTest, AnUnlockedFileNeverBlocks) {
  const std::string contents[] = {
      "1\n",               // init: alive, and not ours to signal
      pidLine(getppid()),  // our parent, alive
      pidLine(getpid()),   // ourselves
      " \t0\r\n",
      "-7\n",
      "12_345\n",
      "not a pid\n",
      "",
      "99999999999999999999\n",
  };
  for (const std::string& content : contents) {
    ASSERT_TRUE(writeFile(path, content));
    ino_t before = inodeOf(path);
    auto pidFile = checkPidFile(path);
    ASSERT_TRUE(pidFile) << "contents \"" << content << "\": got " << errorName(pidFile.error());
    EXPECT_TRUE(pidFile->held()) << "contents \"" << content << "\"";
    ASSERT_TRUE(writePidFile(*pidFile)) << "contents \"" << content << "\"";
    EXPECT_EQ(readFile(path), pidLine(getpid())) << "contents \"" << content << "\"";
    EXPECT_EQ(inodeOf(path), before) << "contents \"" << content << "\": the file was replaced";
  }
  EXPECT_EQ(log.takeJoined(), "");
}

// A symlink at the path is never followed: not to read a pid, not to write
// one, not to remove the target. Other things that are not regular files are
// refused too, and the check never hangs on a FIFO.
TEST_F(PidFileTest, OnlyARegularFileIsUsed) {
  const std::string target = dir.write("target", "1234\n");
  const std::string longPath = dir.path() + "/" + std::string(kMaxPidFilePath, 'p');
  struct Case {
    const char* name;
    std::string path;
    Error want;
  } cases[] = {
      {"symlink", dir.file("link.pid"), Error::SymLinkLoop},
      {"fifo", dir.file("fifo.pid"), Error::NotRegularFile},
      {"directory", dir.file("dir.pid"), Error::IsDir},
      {"missing directory", dir.file("missing/x.pid"), Error::FileNotFound},
      {"long path", longPath, Error::NameTooLong},
  };
  ASSERT_EQ(symlink(target.c_str(), cases[0].path.c_str()), 0);
  ASSERT_EQ(mkfifo(cases[1].path.c_str(), 0644), 0);
  ASSERT_EQ(mkdir(cases[2].path.c_str(), 0755), 0);
  for (const auto& c : cases) {
    auto pidFile = checkPidFile(c.path);
    ASSERT_TRUE(pidFile) << c.name << ": got " << errorName(pidFile.error());
    EXPECT_FALSE(pidFile->held()) << c.name;
    auto written = writePidFile(*pidFile);
    ASSERT_FALSE(written) << c.name;
    EXPECT_EQ(written.error(), c.want)
        << c.name << ": got " << errorName(written.error()) << ", want " << errorName(c.want);
    removePidFile(*pidFile);
  }
  EXPECT_EQ(readFile(target), "1234\n") << "written through the symlink";
  struct stat info {};
  EXPECT_EQ(lstat(cases[0].path.c_str(), &info), 0) << "the symlink was removed";
  EXPECT_EQ(log.takeJoined(), "");
}

// An instance that starts between our check and our write holds the file:
// we must not write over it.
TEST_F(PidFileTest, AnInstanceThatStartsAfterTheCheckWins) {
  auto pidFile = checkPidFile(path);
  ASSERT_TRUE(pidFile);
  RunningInstance other(path);
  ASSERT_TRUE(other.started());
  auto written = writePidFile(*pidFile);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), Error::AlreadyRunning);
  EXPECT_EQ(readFile(path), pidLine(other.pid()));
  EXPECT_EQ(log.takeJoined(), heldLine(path, std::to_string(other.pid())));
}

// A file removed after the check (by hand, or by an instance shutting down)
// is made again rather than written into the unlinked one.
TEST_F(PidFileTest, AFileRemovedAfterTheCheckIsMadeAgain) {
  ASSERT_TRUE(writeFile(path, "1\n"));
  auto pidFile = checkPidFile(path);
  ASSERT_TRUE(pidFile);
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(writePidFile(*pidFile));
  EXPECT_EQ(readFile(path), pidLine(getpid()));
  EXPECT_EQ(checkFromAnotherProcess(path), 1);
}

// The lock taken at the check, before detaching, is still held by the daemon
// once the starting and the intermediate process have exited; the daemon
// writes its pid through it and removes the file at the end.
TEST_F(PidFileTest, TheLockSurvivesDetaching) {
  ASSERT_TRUE(writeFile(path, "1\n"));  // stale, from a crash
  const ino_t inode = inodeOf(path);
  AdoptOrphans adopt;
  Baton daemonSays, testSays;
  pid_t starter = forkChild([&] {
    daemonSays.closeReadEnd();
    testSays.closeWriteEnd();
    auto pidFile = checkPidFile(path);
    if (!pidFile || !pidFile->held()) return 3;
    auto startupPipe = daemonize();
    if (!startupPipe) return 3;
    daemonSays.send(pidLine(getpid()));
    if (!reportReadiness(std::move(*startupPipe))) return 4;
    if (testSays.receive(20000) != 'w' || !writePidFile(*pidFile)) return 5;
    daemonSays.send("written\n");
    if (testSays.receive(20000) != 'r') return 6;
    removePidFile(*pidFile);
    return 0;
  });
  ASSERT_GT(starter, 0);
  daemonSays.closeWriteEnd();
  testSays.closeReadEnd();
  const std::string daemonPid = daemonSays.receiveLine(10000);
  ASSERT_FALSE(daemonPid.empty());
  ASSERT_EQ(waitForExit(starter, 10000), 0) << "the starting process";
  if (adopt.adopted()) {
    int status;
    ASSERT_GT(waitpid(-1, &status, 0), 0) << "the intermediate process";
  }
  log.take();

  // Before the daemon writes, the file still holds the stale pid.
  auto blocked = checkPidFile(path);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), Error::AlreadyRunning);
  EXPECT_EQ(log.takeJoined(), heldLine(path, "1"));

  testSays.send("w");
  ASSERT_EQ(daemonSays.receiveLine(10000), "written\n");
  EXPECT_EQ(readFile(path), daemonPid);
  EXPECT_EQ(inodeOf(path), inode) << "written through the descriptor locked at the check";
  EXPECT_EQ(checkFromAnotherProcess(path), 1);

  testSays.send("r");
  if (adopt.adopted()) {
    int status = 0;
    ASSERT_EQ(waitpid(std::stoi(daemonPid), &status, 0), std::stoi(daemonPid));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "daemon status " << status;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the daemon removes its file";
  }
}

}  // namespace
}  // namespace tollbrook
