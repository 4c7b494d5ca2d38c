// One worker of the daemon: an event loop over its own listening sockets and
// the milter connections it accepted. The main thread builds a Worker (its
// event queue, pipes and listeners), then hands it to a WorkerThread; from then
// on only that thread touches it. A connection lives and dies on the worker
// that accepted it, and the loop takes no lock: the only things it shares are
// the shutdown pipe (read), the generation counter (read) and its own
// acknowledgement entry (written), all reached through the WorkerSetup.
#ifndef TOLLBROOK_DAEMON_WORKER_WORKER_H_
#define TOLLBROOK_DAEMON_WORKER_WORKER_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "base/unique_fd.h"
#include "daemon/handling/end_of_message.h"
#include "daemon/milter/codec.h"
#include "daemon/worker/connection_table.h"
#include "daemon/worker/line_throttle.h"
#include "platform/accept.h"
#include "platform/event_queue.h"

namespace tollbrook {

// How long a worker keeps serving its connections after shutdown began.
inline constexpr int64_t kDrainBoundMs = 30'000;

// The worker's link to configuration reloads. The main thread publishes a new
// generation and wakes the worker through its notify pipe; the worker stores
// the generation it has seen in its acknowledgement entry at the top of every
// pass, and runs the hook when the generation moved.
struct ReloadLink {
  const std::atomic<uint64_t>* configGeneration = nullptr;  // null: no reloads
  std::span<std::atomic<uint64_t>> workerAcks;              // entry `index` is ours
  uint64_t lastSeen = 0;                                    // the counter when built
  // Runs on the worker thread with the handlers' context (the per-worker
  // state the end-of-message handler also uses).
  void (*onReloadAcknowledged)(void* context) = nullptr;
};

// Everything a worker is built from.
struct WorkerSetup {
  uint32_t index = 0;  // position among the workers, 0-based
  uint32_t maxConnections = 256;
  MessageLimits limits = kDefaultMessageLimits;  // copied into every connection
  MilterHandlers handlers;
  ReloadLink reload;
  // The daemon's message handling. When present, the worker owns it, fills
  // the handlers' body and end-of-message slots and the reload hook with it,
  // and has it load the published settings at every pass, right after the
  // acknowledgement. Absent: the handlers and hook above are used as given.
  std::unique_ptr<WorkerHandling> handling;
  int shutdownFd = -1;  // read end of the shutdown pipe, shared by all workers, not owned
  UniqueFd notifyFd;    // read end of this worker's notify pipe (non-blocking), or none
  int64_t drainBoundMs = kDrainBoundMs;
  // Measures durations: the drain deadline and the spacing of log lines.
  Clock clock = monotonicMilliseconds;
};

class Worker {
 public:
  // Creates the event queue and registers the shutdown and notify descriptors.
  [[nodiscard]] static Result<std::unique_ptr<Worker>> create(WorkerSetup setup);

  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker();

  // Adds a listener in configuration order (its position is the listener
  // index connections carry) and registers it. `unixPath` names the socket
  // file the worker removes when it stops listening (empty for inet). Several
  // workers may each own a duplicate of one unix listening socket.
  [[nodiscard]] Status addListener(UniqueFd socket, std::string unixPath);

  // The thread body: opens the thread's log, runs the loop until the drain
  // has finished, closes everything, closes the thread's log.
  void run();

  // Open connections; readable from any thread (tests, statistics).
  size_t openConnections() const { return openConnections_.load(std::memory_order_relaxed); }

 private:
  struct Listener {
    UniqueFd socket;  // invalid once closed
    std::string unixPath;
  };

  explicit Worker(WorkerSetup setup, EventQueue queue);

  // The loop and its steps, in the order of one pass.
  void loop();
  bool drainFinished();
  void acknowledgeGeneration();
  std::optional<uint32_t> waitTimeout() const;
  void handleEvent(const Event& event);
  void closeEverything();

  // Wake-ups.
  void startDrain();
  void drainNotifyPipe();
  void closeListener(Listener& listener);

  // Accepting.
  void acceptPass(size_t listenerIndex);
  void retryStarvedAccepts();
  void admit(AcceptedConnection accepted, size_t listenerIndex);
  void reportAcceptFailure(const AcceptFailure& failure);
  void reportRefusals();

  // Serving a connection.
  void readPass(MilterConnection& connection);
  bool dispatchPackets(MilterConnection& connection);
  bool flush(MilterConnection& connection);
  void onWritable(int fd);
  void onFailedChange(const Event& event);
  void closeConnection(int fd);

  // Pending interest changes, handed to the queue with the next wait.
  void addChange(EventChange change);
  void dropPendingChanges(int fd);

  WorkerSetup setup_;
  EventQueue queue_;
  std::vector<Listener> listeners_;
  ConnectionTable connections_;
  std::atomic<size_t> openConnections_{0};

  std::array<EventChange, EventQueue::kMaxBatch> pending_{};
  size_t pendingCount_ = 0;

  bool draining_ = false;
  int64_t drainDeadline_ = 0;
  // Accept failed for lack of descriptors or memory: the connections still
  // pending get no new event, so every listener is tried again after each
  // batch of events (a closed connection frees a descriptor) and the wait
  // times out quickly, until accept stops failing that way.
  bool acceptStarved_ = false;

  uint64_t refused_ = 0;  // refused since the last refusal line
  LineThrottle refusalLine_;
  LineThrottle acceptErrorLine_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_WORKER_WORKER_H_
