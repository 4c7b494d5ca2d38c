#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/syslog_socket.h"
#include "platform/unix_address.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

// Captures what is written to descriptor 2 while alive.
class StderrCapture {
 public:
  StderrCapture() {
    EXPECT_EQ(::pipe(pipe_), 0);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(pipe_[1], STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  std::string finish() {
    restore();
    std::string out;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(pipe_[0], chunk, sizeof(chunk))) > 0) out.append(chunk, size_t(n));
    ::close(pipe_[0]);
    pipe_[0] = -1;
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(pipe_[1]);
    saved_ = -1;
  }
  int pipe_[2] = {-1, -1};
  int saved_ = -1;
};

// Restores the process-wide settings and this thread's log state after each test.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = logSettings();
    setLogIdent("tollbrook");
    logSettings().facility = 2;
    logSettings().level = 7;
    logSettings().sink = LogSink::Stderr;
    openThreadLog();
    pid_ = std::to_string(::getpid());
  }
  void TearDown() override {
    closeThreadLog();
    logSettings() = saved_;
    setSyslogSocketPath(kSyslogSocketPath);
  }
  LogSettings saved_;
  std::string pid_;
};

TEST_F(LogTest, StderrLinesLackPriorityAndEndInNewline) {
  StderrCapture capture;
  logMessage(Severity::Err, "fatal: exiting on ", Error::OutOfMemory);
  logMessage(Severity::Info, "peer ", SafeText{"mx 1\x01"}, " name ", SafeText{""}, " n=", -42,
             " u=", 7u, " e=", ErrName{Error::DnsTimeout}, ' ', 'c');
  logMessage(Severity::Debug,
             "a\nb\rc\td\x7f"
             "e\x80");
  std::string pre = "tollbrook[" + pid_ + "]: ";
  EXPECT_EQ(capture.finish(), pre + "fatal: exiting on error.OutOfMemory\n" + pre +
                                  "peer mx_1_ name - n=-42 u=7 e=DnsTimeout c\n" + pre +
                                  "a_b_c_d_e\x80\n");
}

// Lines that threads write at the same moment stay whole, each with its own
// newline (the daemon's workers share standard error when Syslog is off).
// Standard error goes to a file here, so the writers never wait for a reader.
TEST_F(LogTest, StderrLinesOfConcurrentThreadsDoNotInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(::fileno(file), STDERR_FILENO);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) logMessage(Severity::Info, "thread ", t, " line ", i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string out;
  std::rewind(file);
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) out.append(chunk, n);
  std::fclose(file);

  size_t lines = 0;
  size_t broken = 0;
  for (size_t start = 0; start < out.size(); ++lines) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    const size_t first = line.find("]: thread ");
    if (first == std::string::npos || first != line.rfind("]: thread ")) ++broken;
    start = end + 1;
  }
  EXPECT_EQ(broken, 0u) << "lines run together or were split";
  EXPECT_EQ(lines, size_t{kThreads * kLines});
}

TEST_F(LogTest, LevelSuppressesMoreVerboseSeverities) {
  logSettings().level = logLevelFromWord("warning");
  StderrCapture capture;
  logMessage(Severity::Err, "e");
  logMessage(Severity::Warning, "w");
  logMessage(Severity::Info, "i");
  logMessage(Severity::Debug, "d");
  std::string pre = "tollbrook[" + pid_ + "]: ";
  EXPECT_EQ(capture.finish(), pre + "e\n" + pre + "w\n");
}

TEST_F(LogTest, DefaultsBeforeAnythingIsSet) {
  LogSettings defaults;
  EXPECT_EQ(defaults.sink, LogSink::Stderr);
  EXPECT_EQ(defaults.facility, 2);
  EXPECT_EQ(defaults.level, 6);
  EXPECT_EQ(std::string_view(defaults.ident, defaults.identLength), "kestrelvault");
  EXPECT_EQ(std::string_view(saved_.ident, saved_.identLength), "kestrelvault");
}

TEST_F(LogTest, IdentIsTruncatedTo64Bytes) {
  setLogIdent(std::string(100, 'x'));
  LogLine line(Severity::Err);
  EXPECT_EQ(line.text(), "<19>" + std::string(64, 'x') + "[" + pid_ + "]: ");
}

TEST(LogWords, FacilityAndLevel) {
  struct FacilityCase {
    std::string word;
    int want;
  };
  const FacilityCase facilities[] = {
      {"mail", 2},    {"MAIL", 2},   {"daemon", 3}, {"Auth", 4}, {"local0", 16}, {"LOCAL3", 19},
      {"local7", 23}, {"local8", 2}, {"user", 2},   {"", 2},     {"mail ", 2},
  };
  for (const auto& c : facilities) {
    EXPECT_EQ(syslogFacilityFromWord(c.word), c.want) << "input \"" << c.word << "\"";
  }
  const FacilityCase levels[] = {
      {"err", 3},  {"ERROR", 3},  {"warn", 4}, {"Warning", 4}, {"Debug", 7},
      {"info", 6}, {"notice", 6}, {"", 6},     {"crit", 6},
  };
  for (const auto& c : levels) {
    EXPECT_EQ(logLevelFromWord(c.word), c.want) << "input \"" << c.word << "\"";
  }
}

TEST(LogSafeText, EmptyDashAndUnsafeBytes) {
  struct Case {
    std::string text;
    size_t capacity;
    std::string want;
  };
  const Case cases[] = {
      {"", 8, "-"},
      {"mx.example.org", 32, "mx.example.org"},
      {"a b\tc\x7f\x80\xff!~", 32, "a_b_c___!~"},
      {"abcdef", 3, "abc"},
      {"", 0, ""},
  };
  for (const auto& c : cases) {
    char out[32];
    size_t n = logSafeText(c.text, out, c.capacity);
    EXPECT_EQ(std::string(out, n), c.want) << "input \"" << c.text << "\"";
  }
}

// A datagram socket standing in for the local syslog daemon.
class FakeSyslog {
 public:
  FakeSyslog() {
    char pattern[] = "/tmp/tb-core-logXXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/log";
    start();
  }
  ~FakeSyslog() {
    stop();
    ::rmdir(dir_.c_str());
  }
  // Binds a new socket at the path, as a syslog daemon does when it starts.
  void start() {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    UnixAddress address;
    EXPECT_TRUE(makeUnixAddress(path_, address));
    EXPECT_EQ(::bind(fd_, address.get(), address.length), 0);
    timeval timeout{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  }
  // Closes the socket and removes its path, as a syslog daemon does when it ends.
  void stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string receive() {
    char datagram[4096];
    ssize_t n = ::recv(fd_, datagram, sizeof(datagram), 0);
    return n < 0 ? std::string("(nothing)") : std::string(datagram, size_t(n));
  }
  bool idle() {
    char datagram[16];
    return ::recv(fd_, datagram, sizeof(datagram), MSG_DONTWAIT) < 0;
  }

 private:
  std::string dir_, path_;
  int fd_ = -1;
};

TEST_F(LogTest, SyslogDatagramsCarryPriorityAndNoNewline) {
  FakeSyslog syslog;
  setSyslogSocketPath(syslog.path());
  logSettings().sink = LogSink::Syslog;
  logSettings().facility = syslogFacilityFromWord("local3");
  openThreadLog();
  ASSERT_TRUE(threadHasLogSocket());
  logMessage(Severity::Err, "line\none");
  logMessage(Severity::Info, "second");
  EXPECT_EQ(syslog.receive(), "<155>tollbrook[" + pid_ + "]: line_one");
  EXPECT_EQ(syslog.receive(), "<158>tollbrook[" + pid_ + "]: second");
}

TEST_F(LogTest, LinesResumeAfterTheSyslogDaemonRestarts) {
  FakeSyslog syslog;
  setSyslogSocketPath(syslog.path());
  logSettings().sink = LogSink::Syslog;
  openThreadLog();
  const std::string prefix = "<22>tollbrook[" + pid_ + "]: ";
  logMessage(Severity::Info, "before");
  EXPECT_EQ(syslog.receive(), prefix + "before");

  // A restart replaces the socket: the first line that fails reconnects and
  // is sent again, so nothing is lost.
  syslog.stop();
  syslog.start();
  logMessage(Severity::Info, "after restart");
  EXPECT_EQ(syslog.receive(), prefix + "after restart");

  // While the daemon is away, reconnecting is tried at most once a second:
  // the line right after it comes back is lost, a line a second later arrives.
  syslog.stop();
  logMessage(Severity::Info, "while away");
  syslog.start();
  logMessage(Severity::Info, "too soon");
  EXPECT_TRUE(syslog.idle());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logMessage(Severity::Info, "a second later");
  EXPECT_EQ(syslog.receive(), prefix + "a second later");
}

TEST_F(LogTest, AThreadStartedBeforeTheSyslogDaemonConnectsLater) {
  FakeSyslog syslog;
  syslog.stop();
  setSyslogSocketPath(syslog.path());
  logSettings().sink = LogSink::Syslog;
  openThreadLog();
  EXPECT_FALSE(threadHasLogSocket());
  syslog.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logMessage(Severity::Info, "late");
  EXPECT_EQ(syslog.receive(), "<22>tollbrook[" + pid_ + "]: late");
  // Once closed the thread stays quiet.
  closeThreadLog();
  logMessage(Severity::Info, "closed");
  EXPECT_TRUE(syslog.idle());
}

TEST_F(LogTest, LongMessagesAreCutAt1024Bytes) {
  FakeSyslog syslog;
  setSyslogSocketPath(syslog.path());
  logSettings().sink = LogSink::Syslog;
  openThreadLog();
  std::string message;
  for (int i = 0; i < 2000; ++i) message += static_cast<char>('a' + i % 26);
  logMessage(Severity::Err, message, " tail");
  std::string prefix = "<19>tollbrook[" + pid_ + "]: ";
  std::string got = syslog.receive();
  EXPECT_EQ(got.size(), 1024u);
  EXPECT_EQ(got, prefix + message.substr(0, 1024 - prefix.size()));
}

TEST_F(LogTest, MissingSyslogDaemonDropsLinesSilently) {
  std::string missing = "/tmp/tb-core-no-such-dir/log";
  setSyslogSocketPath(missing);
  logSettings().sink = LogSink::Syslog;
  openThreadLog();
  EXPECT_FALSE(threadHasLogSocket());
  StderrCapture capture;
  logMessage(Severity::Err, "lost");
  EXPECT_EQ(capture.finish(), "");
  // A path too long for a unix address leaves the thread without a socket too.
  setSyslogSocketPath(std::string(200, 'p'));
  openThreadLog();
  EXPECT_FALSE(threadHasLogSocket());
}

TEST_F(LogTest, ReopeningReplacesTheSocketAndCloseResets) {
  FakeSyslog syslog;
  setSyslogSocketPath(syslog.path());
  logSettings().sink = LogSink::Syslog;
  openThreadLog();
  int before = ::dup(0);
  ::close(before);
  openThreadLog();  // must close the first socket, so the next free fd is unchanged
  int after = ::dup(0);
  ::close(after);
  EXPECT_EQ(before, after);
  closeThreadLog();
  EXPECT_FALSE(threadHasLogSocket());
  logMessage(Severity::Err, "dropped");
  EXPECT_TRUE(syslog.idle());
}

TEST_F(LogTest, EmittingAllocatesNothing) {
  StderrCapture capture;
  {
    testing::ScopedAllocationFailure noAllocations(0);
    logMessage(Severity::Err, "n=", 5, " ", SafeText{"x"}, " ", Error::BuildFailed);
    EXPECT_EQ(testing::failedAllocations(), 0);
  }
  EXPECT_NE(capture.finish(), "");
}

TEST(StderrWriter, NestedWritersAndLongTextArriveWhole) {
  StderrCapture capture;
  std::string longText(150, 'z');
  {
    StderrWriter outer;
    outer.write("error: ");
    {
      StderrWriter inner;  // the same thread may take the lock again
      inner.write(longText);
    }
    outer.write("\n");
  }
  EXPECT_EQ(capture.finish(), "error: " + longText + "\n");
}

TEST(StderrWriter, ConcurrentWritersDoNotInterleave) {
  StderrCapture capture;
  auto writeBlock = [](char c) {
    StderrWriter writer;
    for (int i = 0; i < 200; ++i) {
      writer.write(std::string(1, c));
      if (i % 50 == 0) std::this_thread::yield();
    }
  };
  std::thread a(writeBlock, 'a');
  std::thread b(writeBlock, 'b');
  a.join();
  b.join();
  std::string out = capture.finish();
  ASSERT_EQ(out.size(), 400u);
  bool aFirst = out == std::string(200, 'a') + std::string(200, 'b');
  bool bFirst = out == std::string(200, 'b') + std::string(200, 'a');
  EXPECT_TRUE(aFirst || bFirst) << "got " << out;
}

}  // namespace
}  // namespace tollbrook
