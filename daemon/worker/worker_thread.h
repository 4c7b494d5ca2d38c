// Runs a Worker on a thread of its own (16 MiB stack, 4 KiB guard) until it
// has drained. The WorkerThread owns the Worker and the thread; it is started
// and joined by the main thread.
#ifndef TOLLBROOK_DAEMON_WORKER_WORKER_THREAD_H_
#define TOLLBROOK_DAEMON_WORKER_WORKER_THREAD_H_

#include <memory>

#include "base/error.h"
#include "daemon/worker/worker.h"
#include "platform/thread.h"

namespace tollbrook {

class WorkerThread {
 public:
  // Starts the thread. Errors: SystemResources when the system cannot make
  // another thread, Unexpected for any other failure.
  [[nodiscard]] static Result<WorkerThread> start(std::unique_ptr<Worker> worker);

  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&&) = delete;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Joins: a worker thread is never left running behind its owner.
  ~WorkerThread() { join(); }

  // Waits until the worker has drained and its thread has ended.
  void join();

  // The worker, for counters that any thread may read.
  const Worker& worker() const { return *worker_; }

 private:
  explicit WorkerThread(std::unique_ptr<Worker> worker) : worker_(std::move(worker)) {}

  std::unique_ptr<Worker> worker_;
  Thread thread_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_WORKER_WORKER_THREAD_H_
