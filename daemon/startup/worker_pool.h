// The daemon's workers as the main thread sees them: the shutdown pipe they
// all watch, one Worker per thread with its own event queue, notify pipe and
// listening sockets, and the threads. Main thread only; the workers
// themselves are touched only by their own threads once started.
#ifndef TOLLBROOK_DAEMON_STARTUP_WORKER_POOL_H_
#define TOLLBROOK_DAEMON_STARTUP_WORKER_POOL_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "base/error.h"
#include "base/unique_fd.h"
#include "daemon/config/daemon_config.h"
#include "daemon/handling/message_settings.h"
#include "daemon/reload/published_settings.h"
#include "daemon/reload/worker_wakeups.h"
#include "daemon/worker/worker.h"
#include "daemon/worker/worker_thread.h"

namespace tollbrook {

// What the workers are built from; everything is borrowed for the call.
struct WorkerPoolPlan {
  uint32_t workers = 0;
  const DaemonConfig& config;
  const HandlingStartup& handling;
  PublishedSettings& settings;
  WorkerWakeups& wakeups;
};

class WorkerPool {
 public:
  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Stops and joins whatever still runs.
  ~WorkerPool();

  // Creates the shutdown pipe, the acknowledgements and notify pipes, every
  // worker with its sockets on every listener, then the threads in index
  // order. On failure everything made so far is released (workers already
  // running are stopped and joined) and the error returned: the pipes' and
  // sockets' errors (AddressInUse, ...), SystemResources or Unexpected for a
  // thread, OutOfMemory.
  [[nodiscard]] Status start(const WorkerPoolPlan& plan);

  // Shutdown: every worker sees end of file on the shutdown pipe, closes its
  // listeners and drains its connections (bounded by the worker).
  void beginDrain() { shutdownWrite_.reset(); }
  // Waits for the workers in index order.
  void joinAll();
  // After the join: the read end nobody watches any more.
  void closeShutdownPipe() { shutdownRead_.reset(); }

 private:
  [[nodiscard]] Result<std::unique_ptr<Worker>> buildWorker(const WorkerPoolPlan& plan,
                                                            uint32_t index, UniqueFd notifyRead);
  [[nodiscard]] Result<std::vector<std::unique_ptr<Worker>>> buildWorkers(
      const WorkerPoolPlan& plan);
  [[nodiscard]] Status startThreads(std::vector<std::unique_ptr<Worker>> workers);
  void stopStarted();

  UniqueFd shutdownRead_;
  UniqueFd shutdownWrite_;
  std::vector<WorkerThread> threads_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_WORKER_POOL_H_
