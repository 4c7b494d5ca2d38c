// The readiness queue of one worker thread, with the semantics of kqueue as the
// worker uses them: edge-triggered read interest, one-shot write interest,
// changes handed over in batches with the wait. The queue owns its descriptor;
// it is created by the main thread and then used by one worker thread only.
//
// Backends: event_queue_epoll.cpp (Linux). A kqueue backend keeps the same
// interface: read interest is EV_ADD|EV_CLEAR, write interest EV_ADD|EV_ONESHOT,
// a batch of changes is the changelist of the next kevent call, submit() is a
// kevent call with EV_RECEIPT and no room for events, and EV_ERROR receipts
// become error events. Where FreeBSD differs in the sockets around the queue
// (SO_REUSEPORT_LB to spread connections over listeners), see listen_socket.h.
#ifndef TOLLBROOK_PLATFORM_EVENT_QUEUE_H_
#define TOLLBROOK_PLATFORM_EVENT_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/error.h"

namespace tollbrook {

enum class EventFilter : uint8_t { Read, Write };

// One interest to add for a descriptor.
struct EventChange {
  enum class Kind : uint8_t {
    ReadEdge,   // reported once each time new data (or end of file) arrives
    WriteOnce,  // reported once, when the descriptor can be written, then dropped
  };
  int fd = -1;
  Kind kind = Kind::ReadEdge;
};

// One readiness report. `eof` says the peer closed or the descriptor failed
// (a closed pipe, a reset socket): there is nothing more to wait for. `error`
// says a change for this descriptor could not be applied; such an event
// reports no readiness.
struct Event {
  int fd = -1;
  EventFilter filter = EventFilter::Read;
  bool eof = false;
  bool error = false;
};

class EventQueue {
 public:
  // The most changes a backend holds for one submission; the worker batches
  // that many before it submits early.
  static constexpr size_t kMaxBatch = 128;

  [[nodiscard]] static Result<EventQueue> create();

  EventQueue(EventQueue&&) noexcept;
  EventQueue& operator=(EventQueue&&) noexcept;
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;
  ~EventQueue();

  // Applies the changes, then waits until at least one event is ready or the
  // timeout (milliseconds; none waits indefinitely) passes, and fills `out`
  // with at most out.size() events. The events of one descriptor come one
  // after the other (when `out` fills up, the rest wait for the next call).
  // Changes that fail come back as error events, before any readiness event.
  // A read event may come without new data (the Linux backend reports unread
  // data again when a write interest is dropped): a read that would block is
  // the answer to it.
  // An interrupted wait returns 0 events. Other failures are the platform's
  // error kinds; the changes have been applied (or reported) all the same.
  [[nodiscard]] Result<size_t> wait(std::span<const EventChange> changes, std::span<Event> out,
                                    std::optional<uint32_t> timeoutMs);

  // Applies one change at once and says whether it took. For the interests a
  // worker is built with (its pipes and listeners), whose failure must stop
  // start-up rather than come back later as an event.
  [[nodiscard]] Status add(const EventChange& change);

  // Applies the changes without waiting and without taking any readiness
  // report: those stay in the queue for the next wait(). Failed changes come
  // back as error events from the next wait().
  [[nodiscard]] Status submit(std::span<const EventChange> changes);

  // Drops every interest in fd. Call it before closing fd: a descriptor that
  // shares its open file with another (a listener duplicated into every
  // worker) would otherwise go on reporting under a number that may be reused.
  void forget(int fd);

  // The queue's own descriptor (for tests and diagnostics).
  int descriptor() const;

 private:
  struct State;  // the backend's own bookkeeping

  explicit EventQueue(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_EVENT_QUEUE_H_
