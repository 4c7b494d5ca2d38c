#include "daemon/startup/daemonize.h"

#include <unistd.h>

#include <cerrno>

#include "platform/errno_map.h"
#include "platform/process.h"

namespace tollbrook {

namespace {

// One read of at most one byte, retried when a signal interrupts it.
ssize_t readOneByte(int fd, char& byte) {
  for (;;) {
    ssize_t n = ::read(fd, &byte, 1);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The starting process: its whole remaining life is this wait.
[[noreturn]] void awaitReadinessAndExit(UniqueFd readEnd) {
  auto readable = waitUntilReadable(readEnd.get(), kReadinessWaitMs);
  if (!readable || !*readable) exitProcessNow(1);
  char byte = 0;
  exitProcessNow(readOneByte(readEnd.get(), byte) == 1 && byte == kReadinessByte ? 0 : 1);
}

// The session leader: forks the daemon, which can then never acquire a
// controlling terminal by opening one, and leaves.
Status forkDaemonAndLeave(UniqueFd& writeEnd) {
  if (auto session = startNewSession(); !session) return session;
  auto pid = forkProcess();
  if (!pid) {
    writeEnd.reset();
    return fail(pid.error());
  }
  if (*pid != 0) exitProcessNow(0);
  return {};
}

}  // namespace

Result<UniqueFd> daemonize() {
  auto pipe = openCloseOnExecPipe();
  if (!pipe) return fail(pipe.error());
  auto pid = forkProcess();
  if (!pid) return fail(pid.error());  // both ends close with `pipe`
  if (*pid != 0) {
    pipe->writeEnd.reset();
    awaitReadinessAndExit(std::move(pipe->readEnd));
  }
  pipe->readEnd.reset();
  if (auto detached = forkDaemonAndLeave(pipe->writeEnd); !detached) {
    return fail(detached.error());
  }
  if (auto streams = redirectStandardStreamsToNull(); !streams) return fail(streams.error());
  return std::move(pipe->writeEnd);
}

Status reportReadiness(UniqueFd startupPipe) {
  char byte = kReadinessByte;
  for (;;) {
    ssize_t n = ::write(startupPipe.get(), &byte, 1);
    if (n == 1) return {};
    if (n == 0) return fail(Error::Unexpected);
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

}  // namespace tollbrook
