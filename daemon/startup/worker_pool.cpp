#include "daemon/startup/worker_pool.h"

#include <new>
#include <utility>

#include "daemon/handling/end_of_message.h"
#include "daemon/worker/listeners.h"
#include "platform/process.h"

namespace tollbrook {

WorkerPool::~WorkerPool() {
  stopStarted();
}

Status WorkerPool::start(const WorkerPoolPlan& plan) {
  Result<PipeEnds> shutdown = openCloseOnExecPipe();
  if (!shutdown) return fail(shutdown.error());
  shutdownRead_ = std::move(shutdown->readEnd);
  shutdownWrite_ = std::move(shutdown->writeEnd);
  Result<std::vector<std::unique_ptr<Worker>>> workers = buildWorkers(plan);
  if (!workers) return fail(workers.error());
  return startThreads(std::move(*workers));
}

// Every worker starts out acknowledging the generation in force now, so the
// first pass of each runs no reload hook.
Result<std::unique_ptr<Worker>> WorkerPool::buildWorker(const WorkerPoolPlan& plan, uint32_t index,
                                                        UniqueFd notifyRead) {
  std::unique_ptr<WorkerHandling> handling;
  try {
    auto created = WorkerHandling::create(HandlingStartup(plan.handling), plan.settings.source());
    if (!created) return fail(created.error());
    handling = std::move(*created);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  ReloadGenerations& generations = plan.settings.generations();
  WorkerSetup setup;
  setup.index = index;
  setup.maxConnections = plan.config.maxConnections;
  setup.limits =
      MessageLimits{plan.config.maxBodyBytes, plan.config.maxHeaders, plan.config.maxHeaderBytes};
  setup.reload.configGeneration = &generations.counter();
  setup.reload.workerAcks = generations.acknowledgements();
  setup.reload.lastSeen = generations.current();
  setup.handling = std::move(handling);
  setup.shutdownFd = shutdownRead_.get();
  setup.notifyFd = std::move(notifyRead);
  return Worker::create(std::move(setup));
}

Result<std::vector<std::unique_ptr<Worker>>> WorkerPool::buildWorkers(const WorkerPoolPlan& plan) {
  if (Status made = plan.settings.generations().createAcknowledgements(plan.workers); !made) {
    return fail(made.error());
  }
  Result<std::vector<UniqueFd>> notifyReads = plan.wakeups.create(plan.workers);
  if (!notifyReads) return fail(notifyReads.error());
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<Worker*> views;
  try {
    workers.reserve(plan.workers);
    views.reserve(plan.workers);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  for (uint32_t i = 0; i < plan.workers; ++i) {
    auto worker = buildWorker(plan, i, std::move((*notifyReads)[i]));
    if (!worker) return fail(worker.error());
    views.push_back(worker->get());
    workers.push_back(std::move(*worker));
  }
  if (Status added = addListeners(views, plan.config.listeners); !added) {
    return fail(added.error());
  }
  return workers;
}

Status WorkerPool::startThreads(std::vector<std::unique_ptr<Worker>> workers) {
  try {
    threads_.reserve(workers.size());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  for (std::unique_ptr<Worker>& worker : workers) {
    Result<WorkerThread> thread = WorkerThread::start(std::move(worker));
    if (!thread) {
      stopStarted();
      return fail(thread.error());
    }
    threads_.push_back(std::move(*thread));
  }
  return {};
}

void WorkerPool::joinAll() {
  for (WorkerThread& thread : threads_) thread.join();
}

void WorkerPool::stopStarted() {
  beginDrain();
  joinAll();
  threads_.clear();
}

}  // namespace tollbrook
