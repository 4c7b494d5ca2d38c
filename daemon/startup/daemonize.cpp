#include "daemon/startup/daemonize.h"

#include <span>
#include <string_view>

#include "platform/io.h"
#include "platform/process.h"

namespace tollbrook {

namespace {

// The starting process: its whole remaining life is this wait.
[[noreturn]] void awaitReadinessAndExit(UniqueFd readEnd) {
  auto readable = waitUntilReadable(readEnd.get(), kReadinessWaitMs);
  if (!readable || !*readable) exitProcessNow(1);
  char byte = 0;
  auto got = readSome(readEnd.get(), std::span(&byte, 1));
  exitProcessNow(got && *got == 1 && byte == kReadinessByte ? 0 : 1);
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
  const char byte = kReadinessByte;
  return writeAll(startupPipe.get(), std::string_view(&byte, 1));
}

}  // namespace tollbrook
