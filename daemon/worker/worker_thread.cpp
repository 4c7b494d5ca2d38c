#include "daemon/worker/worker_thread.h"

#include <cerrno>
#include <system_error>

namespace tollbrook {

Result<WorkerThread> WorkerThread::start(std::unique_ptr<Worker> worker) {
  WorkerThread started(std::move(worker));
  Worker* running = started.worker_.get();
  try {
    started.thread_ = std::thread([running] { running->run(); });
  } catch (const std::system_error& error) {
    return fail(error.code().value() == EAGAIN ? Error::SystemResources : Error::Unexpected);
  }
  return started;
}

void WorkerThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace tollbrook
