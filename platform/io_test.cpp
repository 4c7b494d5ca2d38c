#include "platform/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/unique_fd.h"
#include "platform/pipe.h"
#include "platform/socket_options.h"
#include "testsupport/interrupting_timer.h"
#include "testsupport/result_error.h"

namespace tollbrook {
namespace {

using testing::errorOf;

void blockAlarmInThisThread() {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
}

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7) % 26);
  return bytes;
}

// The writer outruns a slow reader, so it blocks on a full pipe while SIGALRM
// keeps arriving: every interruption and short write must be picked up where
// it stopped, and the reader (interrupted likewise) must see every byte once.
TEST(Io, EveryByteArrivesThroughSignalsAndShortWrites) {
  auto pipe = openPipe();
  ASSERT_TRUE(pipe);
  const std::string sent = pattern(1 << 20);
  std::string received;
  testing::InterruptingTimer timer(std::chrono::microseconds(500));
  std::thread reader([&] {
    blockAlarmInThisThread();
    char chunk[4096];
    for (;;) {
      auto got = readSome(pipe->readEnd.get(), chunk);
      if (!got || *got == 0) return;
      received.append(chunk, *got);
      if (received.size() % (64 * 1024) < sizeof chunk) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
  });
  Status written = writeAll(pipe->writeEnd.get(), sent);
  pipe->writeEnd.reset();
  reader.join();
  ASSERT_TRUE(written) << errorName(written.error());
  EXPECT_GT(timer.taken(), 0) << "no signal came while writing; the test proved nothing";
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "bytes lost, doubled or reordered";
}

TEST(Io, ReadWaitsThroughSignalsForLateData) {
  auto pipe = openPipe();
  ASSERT_TRUE(pipe);
  testing::InterruptingTimer timer(std::chrono::milliseconds(2));
  std::thread writer([&] {
    blockAlarmInThisThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)writeAll(pipe->writeEnd.get(), "late");
  });
  char buffer[16];
  auto got = readSome(pipe->readEnd.get(), buffer);
  writer.join();
  ASSERT_TRUE(got) << errorName(got.error());
  EXPECT_EQ(std::string(buffer, *got), "late");
  EXPECT_GT(timer.taken(), 0);
}

TEST(Io, FailuresAreReportedByName) {
  // A pipe and a socket pair whose far ends are gone. No SIGPIPE handler is
  // installed for the send: had it raised the signal, the test program would end.
  auto closedPipe = openPipe();
  ASSERT_TRUE(closedPipe);
  closedPipe->readEnd.reset();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd near(pair[0]);
  close(pair[1]);
  auto empty = openPipe();
  ASSERT_TRUE(empty);
  ASSERT_TRUE(setNonBlocking(empty->readEnd.get()));
  char buffer[8];

  struct Case {
    const char* what;
    Error got;
    Error want;
  };
  const Case cases[] = {
      {"read on a closed descriptor", errorOf(readSome(-1, buffer)), Error::BadFileDescriptor},
      {"read on an empty non-blocking pipe", errorOf(readSome(empty->readEnd.get(), buffer)),
       Error::WouldBlock},
      {"send to a closed peer", errorOf(sendSome(near.get(), "x")), Error::BrokenPipe},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got, c.want) << "input " << c.what << ": got " << errorName(c.got) << ", want "
                             << errorName(c.want);
  }

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGPIPE, &ignore, &previous);
  const Status toClosedPipe = writeAll(closedPipe->writeEnd.get(), "x");
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(errorOf(toClosedPipe), Error::BrokenPipe);
}

}  // namespace
}  // namespace tollbrook
