// Process control: forking, a new session, the close-on-exec pipe of the
// start-up handshake, standard descriptors onto /dev/null, liveness of another
// process, and the ids of this process and its parent. The caller owns every
// descriptor returned; the functions keep no state and run on the calling thread.
#ifndef TOLLBROOK_PLATFORM_PROCESS_H_
#define TOLLBROOK_PLATFORM_PROCESS_H_

#include <sys/types.h>

#include <cstdint>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// fork(2): the child's pid in the parent, 0 in the child. SystemResources when
// the process table or memory is exhausted, Unexpected otherwise.
[[nodiscard]] Result<pid_t> forkProcess();

// setsid(2): makes the caller the leader of a new session without a terminal.
[[nodiscard]] Status startNewSession();

// Ends the process at once with this status: no exit handlers and no flush of
// stdio buffers, which in a forked copy still belong to the original.
[[noreturn]] void exitProcessNow(int status);

// Both ends close-on-exec. ProcessFdQuotaExceeded, SystemFdQuotaExceeded, or
// Unexpected for any other failure.
struct PipeEnds {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};
[[nodiscard]] Result<PipeEnds> openCloseOnExecPipe();

// Points descriptors 0, 1 and 2 at /dev/null, opened for reading and writing.
// Interrupted calls and a dup2 that meets a descriptor being opened (EBUSY)
// are retried; the extra descriptor is closed when it is above 2.
[[nodiscard]] Status redirectStandardStreamsToNull();

// Waits until fd is readable, has reached end of file or has an error, for at
// most timeoutMs on the monotonic clock. True when it is, false on timeout.
// poll(2) here; a BSD backend may use kqueue as well. Interrupted waits resume
// with the time that is left.
[[nodiscard]] Result<bool> waitUntilReadable(int fd, int64_t timeoutMs);

// kill(pid, 0): whether a process with this pid exists. A process we may not
// signal (EPERM) exists; only ESRCH means there is none.
bool processExists(pid_t pid);

pid_t currentProcessId();
pid_t parentProcessId();

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_PROCESS_H_
