// Detaching the daemon from the terminal that started it, with a readiness
// handshake: the process the administrator started stays until the daemon says
// it is serving (or dies), so its exit status tells an init script whether
// start-up worked. Main thread, before any other thread exists (fork copies
// only the calling thread).
#ifndef TOLLBROOK_DAEMON_STARTUP_DAEMONIZE_H_
#define TOLLBROOK_DAEMON_STARTUP_DAEMONIZE_H_

#include <cstdint>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// The one byte that means "started"; anything else, or none, means failure.
inline constexpr char kReadinessByte = 'K';
// How long the starting process waits for that byte.
inline constexpr int64_t kReadinessWaitMs = 60000;

// Forks twice and returns only in the daemon (the grandchild): in a new
// session, with /dev/null on descriptors 0 to 2, in the same working
// directory, holding the write end of the start-up pipe (close-on-exec).
// Descriptors open before the call (a pid-file lock among them) are inherited.
//
// The starting process never returns: it waits up to kReadinessWaitMs for one
// byte and exits 0 when exactly kReadinessByte arrived, 1 on anything else
// (another byte, end of file because the daemon died, a timeout, a failed
// wait). It prints nothing. The intermediate process exits 0 at once.
//
// Errors, returned in the process that met them: ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded or Unexpected for the pipe; SystemResources or
// Unexpected for a fork; the mapped error of opening /dev/null or of dup2.
// When the error reaches a child the starting process sees end of file and
// exits 1; the child should log and exit 1 itself.
[[nodiscard]] Result<UniqueFd> daemonize();

// Tells the waiting process that start-up is complete: writes kReadinessByte
// and closes the pipe. Errors of the write are returned; the pipe is closed
// either way.
[[nodiscard]] Status reportReadiness(UniqueFd startupPipe);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_DAEMONIZE_H_
