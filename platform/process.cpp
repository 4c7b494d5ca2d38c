#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "base/clock.h"
#include "platform/errno_map.h"

namespace tollbrook {

namespace {

Error forkError(int err) {
  return err == EAGAIN || err == ENOMEM ? Error::SystemResources : Error::Unexpected;
}

Error pipeError(int err) {
  switch (err) {
    case EMFILE:
      return Error::ProcessFdQuotaExceeded;
    case ENFILE:
      return Error::SystemFdQuotaExceeded;
    default:
      return Error::Unexpected;
  }
}

Result<UniqueFd> openNullDevice() {
  for (;;) {
    int fd = ::open("/dev/null", O_RDWR);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

Status duplicateOnto(int from, int to) {
  for (;;) {
    if (::dup2(from, to) >= 0) return {};
    if (errno != EINTR && errno != EBUSY) return fail(errorFromErrno(errno));
  }
}

}  // namespace

Result<pid_t> forkProcess() {
  pid_t pid = ::fork();
  if (pid < 0) return fail(forkError(errno));
  return pid;
}

Status startNewSession() {
  if (::setsid() < 0) return fail(errorFromErrno(errno));
  return {};
}

void exitProcessNow(int status) {
  ::_exit(status);
}

Result<PipeEnds> openCloseOnExecPipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return fail(pipeError(errno));
  return PipeEnds{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

Status redirectStandardStreamsToNull() {
  auto null = openNullDevice();
  if (!null) return fail(null.error());
  for (int target = 0; target <= 2; ++target) {
    if (null->get() == target) continue;
    if (auto status = duplicateOnto(null->get(), target); !status) return status;
  }
  // When /dev/null itself landed on 0, 1 or 2 it is one of the streams now.
  if (null->get() <= 2) null->release();
  return {};
}

Result<bool> waitUntilReadable(int fd, int64_t timeoutMs) {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    int64_t left = std::max<int64_t>(0, deadline - monotonicMilliseconds());
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

bool processExists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

pid_t currentProcessId() {
  return ::getpid();
}

pid_t parentProcessId() {
  return ::getppid();
}

}  // namespace tollbrook
