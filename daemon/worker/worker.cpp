// The worker's loop: the generation check, one wait per pass, the events in
// the order they came, and the drain at shutdown. Accepting is in
// worker_accept.cpp, serving connections in worker_serve.cpp.
#include "daemon/worker/worker.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "core/log.h"
#include "platform/io.h"
#include "platform/listen_socket.h"

namespace tollbrook {

namespace {

constexpr size_t kEventsPerWait = 64;
// While draining the worker wakes at least this often to check its deadline.
constexpr int64_t kDrainWakeMs = 1000;
// While accept is starved of descriptors, pending connections are retried this
// often even when nothing else happens.
constexpr uint32_t kStarvedRetryMs = 200;
constexpr size_t kNotifyChunk = 64;

}  // namespace

Result<std::unique_ptr<Worker>> Worker::create(WorkerSetup setup) {
  if (setup.handling) {
    setup.handling->installHandlers(setup.handlers);
    setup.reload.onReloadAcknowledged = WorkerHandling::reloadHook;
  }
  Result<EventQueue> queue = EventQueue::create();
  if (!queue) return fail(queue.error());
  if (setup.shutdownFd >= 0) {
    if (Status s = queue->add({setup.shutdownFd, EventChange::Kind::ReadEdge}); !s) {
      return fail(s.error());
    }
  }
  if (setup.notifyFd.valid()) {
    if (Status s = queue->add({setup.notifyFd.get(), EventChange::Kind::ReadEdge}); !s) {
      return fail(s.error());
    }
  }
  try {
    return std::unique_ptr<Worker>(new Worker(std::move(setup), std::move(*queue)));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Worker::Worker(WorkerSetup setup, EventQueue queue)
    : setup_(std::move(setup)), queue_(std::move(queue)) {}

Worker::~Worker() = default;

Status Worker::addListener(UniqueFd socket, std::string unixPath) {
  try {
    listeners_.reserve(listeners_.size() + 1);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (Status s = queue_.add({socket.get(), EventChange::Kind::ReadEdge}); !s) {
    return fail(s.error());
  }
  listeners_.push_back(Listener{std::move(socket), std::move(unixPath)});
  return {};
}

void Worker::run() {
  openThreadLog();
  loop();
  closeEverything();
  closeThreadLog();
}

void Worker::loop() {
  std::array<Event, kEventsPerWait> events;
  for (;;) {
    if (draining_ && drainFinished()) return;
    acknowledgeGeneration();
    // Only after the acknowledgement: the reload side frees a published
    // object once every worker has acknowledged a later generation.
    if (setup_.handling) setup_.handling->beginPass();
    Result<size_t> ready =
        queue_.wait(std::span(pending_.data(), pendingCount_), events, waitTimeout());
    pendingCount_ = 0;
    if (!ready) {
      logMessage(Severity::Err, "kevent error: ", ready.error());
      continue;
    }
    for (size_t i = 0; i < *ready; ++i) handleEvent(events[i]);
    if (acceptStarved_) retryStarvedAccepts();
  }
}

bool Worker::drainFinished() {
  if (connections_.empty()) return true;
  if (setup_.clock() < drainDeadline_) return false;
  logMessage(Severity::Warning, "drain timeout, closing ", connections_.size(),
             " remaining connections");
  return true;
}

// Store first, then compare: the reload side may free what an older
// generation published once every worker has stored a newer one, so the
// acknowledgement must precede any use of the published configuration in
// this pass.
void Worker::acknowledgeGeneration() {
  ReloadLink& reload = setup_.reload;
  if (reload.configGeneration == nullptr) return;
  const uint64_t current = reload.configGeneration->load();
  if (setup_.index < reload.workerAcks.size()) reload.workerAcks[setup_.index].store(current);
  if (current == reload.lastSeen) return;
  reload.lastSeen = current;
  if (reload.onReloadAcknowledged != nullptr) {
    reload.onReloadAcknowledged(setup_.handlers.context);
  }
}

std::optional<uint32_t> Worker::waitTimeout() const {
  std::optional<uint32_t> timeout;
  if (draining_) {
    // Wake every second, and no later than the deadline itself.
    const int64_t left = std::clamp<int64_t>(drainDeadline_ - setup_.clock(), 0, kDrainWakeMs);
    timeout = static_cast<uint32_t>(left);
  }
  if (acceptStarved_) timeout = std::min(timeout.value_or(kStarvedRetryMs), kStarvedRetryMs);
  return timeout;
}

void Worker::handleEvent(const Event& event) {
  if (event.error) return onFailedChange(event);
  if (event.filter == EventFilter::Write) return onWritable(event.fd);
  if (event.fd == setup_.shutdownFd) return startDrain();
  if (event.fd == setup_.notifyFd.get()) return drainNotifyPipe();
  for (size_t i = 0; i < listeners_.size(); ++i) {
    if (listeners_[i].socket.get() == event.fd) {
      if (!draining_) acceptPass(i);
      return;
    }
  }
  MilterConnection* connection = connections_.find(event.fd);
  if (connection == nullptr) return;
  // The peer is gone: whatever it sent last is not worth answering.
  if (event.eof) return closeConnection(event.fd);
  readPass(*connection);
}

void Worker::startDrain() {
  if (draining_) return;
  draining_ = true;
  acceptStarved_ = false;
  for (Listener& listener : listeners_) closeListener(listener);
  drainDeadline_ = setup_.clock() + setup_.drainBoundMs;
}

// The bytes mean nothing; the generation check at the top of the next pass
// does the work.
void Worker::drainNotifyPipe() {
  char chunk[kNotifyChunk];
  for (;;) {
    Result<size_t> n = readSome(setup_.notifyFd.get(), chunk);
    if (!n || *n < sizeof chunk) return;
  }
}

// The path goes first, so that no MTA connects to a socket about to close.
// Workers sharing one unix socket each remove the path; the later ones find
// it gone.
void Worker::closeListener(Listener& listener) {
  if (!listener.socket.valid()) return;
  if (!listener.unixPath.empty()) removeUnixSocketPath(listener.unixPath);
  queue_.forget(listener.socket.get());
  listener.socket.reset();
}

void Worker::closeEverything() {
  connections_.clear();
  openConnections_.store(0, std::memory_order_relaxed);
  for (Listener& listener : listeners_) closeListener(listener);
  if (setup_.notifyFd.valid()) {
    queue_.forget(setup_.notifyFd.get());
    setup_.notifyFd.reset();
  }
  pendingCount_ = 0;
}

void Worker::addChange(EventChange change) {
  if (pendingCount_ == pending_.size()) {
    // The queue keeps whatever is ready for the next wait; this submission
    // takes no events.
    if (Status s = queue_.submit(pending_); !s) {
      logMessage(Severity::Err, "kevent error: ", s.error());
    }
    pendingCount_ = 0;
  }
  pending_[pendingCount_++] = change;
}

// A change still waiting for a descriptor about to be closed must not reach
// the queue: the number may belong to another connection by then.
void Worker::dropPendingChanges(int fd) {
  auto end = std::remove_if(pending_.begin(), pending_.begin() + pendingCount_,
                            [fd](const EventChange& change) { return change.fd == fd; });
  pendingCount_ = static_cast<size_t>(end - pending_.begin());
}

}  // namespace tollbrook
