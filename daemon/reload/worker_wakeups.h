// The workers' notify pipes: one per worker, whose read end the worker watches
// in its event queue and whose write end the main thread keeps, so that a
// reload can wake every worker to acknowledge the new generation (a worker
// asleep in its wait would otherwise hold back reclamation). Main thread;
// the read ends are handed to the workers at start-up.
#ifndef TOLLBROOK_DAEMON_RELOAD_WORKER_WAKEUPS_H_
#define TOLLBROOK_DAEMON_RELOAD_WORKER_WAKEUPS_H_

#include <cstddef>
#include <vector>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

class WorkerWakeups {
 public:
  // Makes one pipe per worker. The write ends stay here, blocking; the read
  // ends are non-blocking (a worker reads its pipe empty and must not hang
  // on the last read) and are returned in worker order. Errors: the pipe's
  // (ProcessFdQuotaExceeded, ...), the mode change's, OutOfMemory; nothing is
  // kept then.
  [[nodiscard]] Result<std::vector<UniqueFd>> create(size_t workers);

  // One byte of value 1 to every worker; the byte means nothing, the wake-up
  // does. Write errors are ignored: a worker that has gone needs no waking.
  void wakeAll() const;

  // Shutdown, after the workers have been joined.
  void close() { writeEnds_.clear(); }

 private:
  std::vector<UniqueFd> writeEnds_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_WORKER_WAKEUPS_H_
