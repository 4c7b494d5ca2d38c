#include "daemon/worker/worker_thread.h"

#include <utility>

namespace tollbrook {

Result<WorkerThread> WorkerThread::start(std::unique_ptr<Worker> worker) {
  WorkerThread started(std::move(worker));
  Worker* running = started.worker_.get();
  // A size that does not depend on the system's default thread stack; the
  // guard page turns an overflow into a crash rather than a silent write
  // into another thread's memory.
  Result<Thread> thread = Thread::start([running] { running->run(); }, kServiceThreadStack);
  if (!thread) {
    // The system's refusal for lack of threads or memory is the one an
    // administrator can act on; every other refusal is ours.
    const Error error = thread.error();
    return fail(error == Error::SystemResources || error == Error::OutOfMemory
                    ? Error::SystemResources
                    : Error::Unexpected);
  }
  started.thread_ = std::move(*thread);
  return started;
}

void WorkerThread::join() {
  thread_.join();
}

}  // namespace tollbrook
