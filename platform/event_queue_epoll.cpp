// The Linux backend of EventQueue, over epoll.
//
// epoll keeps one registration per descriptor with one mask, where kqueue keeps
// one per (descriptor, filter). So the backend remembers what it registered
// for each descriptor: adding write interest modifies the combined mask, and
// once the write event has been reported the mask goes back to read alone,
// which is kqueue's one-shot. Changes are applied one by one as they are
// handed over; batching them is the kqueue backend's concern.
//
// epoll reports a closed pipe as EPOLLHUP without EPOLLIN and a peer's
// shutdown as EPOLLRDHUP; both, and EPOLLERR, are kqueue's EV_EOF here, and a
// read event is reported for them even without EPOLLIN.
#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include "base/unique_fd.h"
#include "platform/errno_map.h"
#include "platform/event_queue.h"

namespace tollbrook {

namespace {

constexpr uint8_t kReadInterest = 1;
constexpr uint8_t kWriteInterest = 2;
constexpr uint32_t kHangup = EPOLLRDHUP | EPOLLHUP | EPOLLERR;
// One epoll_wait returns at most this many descriptors.
constexpr size_t kMaxReady = 64;

uint32_t epollMask(uint8_t interest) {
  uint32_t mask = EPOLLET;
  if (interest & kReadInterest) mask |= EPOLLIN | EPOLLRDHUP;
  if (interest & kWriteInterest) mask |= EPOLLOUT;
  return mask;
}

int toEpollTimeout(std::optional<uint32_t> timeoutMs) {
  if (!timeoutMs) return -1;
  return static_cast<int>(std::min<uint32_t>(*timeoutMs, INT_MAX));
}

}  // namespace

struct EventQueue::State {
  UniqueFd epoll;
  // What is registered for each descriptor number.
  std::vector<uint8_t> interest;
  // Events not yet delivered: failed changes, and readiness that did not fit
  // the caller's array. Reported first by the next wait().
  std::vector<Event> carried;

  uint8_t interestOf(int fd) const {
    return static_cast<size_t>(fd) < interest.size() ? interest[static_cast<size_t>(fd)] : 0;
  }

  void carry(const Event& event) {
    try {
      carried.push_back(event);
    } catch (const std::bad_alloc&) {
      // Room for a full batch is reserved at creation; beyond that there is
      // nothing better to do than to lose the report.
    }
  }

  bool control(int op, int fd, uint8_t mask) {
    epoll_event event{};
    event.events = epollMask(mask);
    event.data.u64 = static_cast<uint64_t>(fd);
    if (epoll_ctl(epoll.get(), op, fd, &event) == 0) return true;
    // The bookkeeping can only disagree with the kernel when a descriptor was
    // closed without forget(); try the other operation once.
    if (op == EPOLL_CTL_ADD && errno == EEXIST)
      op = EPOLL_CTL_MOD;
    else if (op == EPOLL_CTL_MOD && errno == ENOENT)
      op = EPOLL_CTL_ADD;
    else
      return false;
    return epoll_ctl(epoll.get(), op, fd, &event) == 0;
  }

  Status apply(const EventChange& change) {
    const bool read = change.kind == EventChange::Kind::ReadEdge;
    if (change.fd < 0) return fail(Error::BadFileDescriptor);
    const uint8_t before = interestOf(change.fd);
    const uint8_t after = before | (read ? kReadInterest : kWriteInterest);
    // A pending write interest needs nothing more. A read interest is always
    // passed on: when a descriptor was closed without forget(), its number
    // may come back for a new file that epoll no longer knows, and skipping
    // the call would leave that file unwatched (with kqueue the close drops
    // the registration and the add makes a new one). Read interest is added
    // once per connection, so the extra call costs nothing that matters.
    if (after == before && !read) return {};
    try {
      if (static_cast<size_t>(change.fd) >= interest.size()) {
        interest.resize(static_cast<size_t>(change.fd) + 1, 0);
      }
    } catch (const std::bad_alloc&) {
      return fail(Error::OutOfMemory);
    }
    if (!control(before == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, change.fd, after)) {
      return fail(errorFromErrno(errno));
    }
    interest[static_cast<size_t>(change.fd)] = after;
    return {};
  }

  // A change that failed is reported as an error event by the next wait().
  void applyOrCarry(const EventChange& change) {
    if (apply(change)) return;
    const bool read = change.kind == EventChange::Kind::ReadEdge;
    carry(Event{change.fd, read ? EventFilter::Read : EventFilter::Write, false, true});
  }

  // The write interest has fired: back to read interest alone, or to nothing.
  void dropWriteInterest(int fd) {
    const uint8_t after = interestOf(fd) & ~kWriteInterest;
    if (after == 0) {
      epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    } else {
      // Should this fail, a later write event arrives that nobody asked for,
      // which the caller treats as a harmless spurious wake-up.
      (void)control(EPOLL_CTL_MOD, fd, after);
    }
    interest[static_cast<size_t>(fd)] = after;
  }

  size_t takeCarried(std::span<Event> out) {
    const size_t count = std::min(out.size(), carried.size());
    std::copy_n(carried.begin(), count, out.begin());
    carried.erase(carried.begin(), carried.begin() + static_cast<ptrdiff_t>(count));
    return count;
  }

  // Turns one epoll report into at most a read and a write event.
  size_t translate(const epoll_event& raw, std::span<Event> out, size_t used) {
    const int fd = static_cast<int>(raw.data.u64);
    const uint8_t registered = interestOf(fd);
    const bool hangup = (raw.events & kHangup) != 0;
    auto deliver = [&](const Event& event) {
      if (used < out.size()) {
        out[used++] = event;
      } else {
        carry(event);
      }
    };
    if ((registered & kReadInterest) && (raw.events & (EPOLLIN | kHangup))) {
      deliver(Event{fd, EventFilter::Read, hangup, false});
    }
    if ((registered & kWriteInterest) && (raw.events & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
      deliver(Event{fd, EventFilter::Write, (raw.events & (EPOLLHUP | EPOLLERR)) != 0, false});
      dropWriteInterest(fd);
    }
    return used;
  }
};

EventQueue::EventQueue(std::unique_ptr<State> state) : state_(std::move(state)) {}
EventQueue::EventQueue(EventQueue&&) noexcept = default;
EventQueue& EventQueue::operator=(EventQueue&&) noexcept = default;
EventQueue::~EventQueue() = default;

Result<EventQueue> EventQueue::create() {
  std::unique_ptr<State> state;
  try {
    state = std::make_unique<State>();
    state->carried.reserve(kMaxBatch);
    state->interest.reserve(1024);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  state->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!state->epoll.valid()) return fail(errorFromErrno(errno));
  return EventQueue(std::move(state));
}

int EventQueue::descriptor() const {
  return state_->epoll.get();
}

Status EventQueue::add(const EventChange& change) {
  return state_->apply(change);
}

Status EventQueue::submit(std::span<const EventChange> changes) {
  for (const EventChange& change : changes) state_->applyOrCarry(change);
  return {};
}

Result<size_t> EventQueue::wait(std::span<const EventChange> changes, std::span<Event> out,
                                std::optional<uint32_t> timeoutMs) {
  for (const EventChange& change : changes) state_->applyOrCarry(change);
  size_t used = state_->takeCarried(out);
  if (used == out.size()) return used;
  std::array<epoll_event, kMaxReady> ready;
  const size_t room = std::min(out.size() - used, ready.size());
  // With reports already in hand, only look; do not wait.
  const int timeout = used > 0 ? 0 : toEpollTimeout(timeoutMs);
  const int count = epoll_wait(state_->epoll.get(), ready.data(), static_cast<int>(room), timeout);
  if (count < 0) {
    if (errno == EINTR || used > 0) return used;
    return fail(errorFromErrno(errno));
  }
  for (int i = 0; i < count; ++i)
    used = state_->translate(ready[static_cast<size_t>(i)], out, used);
  return used;
}

void EventQueue::forget(int fd) {
  if (fd < 0) return;
  if (state_->interestOf(fd) != 0) {
    epoll_ctl(state_->epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    state_->interest[static_cast<size_t>(fd)] = 0;
  }
  std::erase_if(state_->carried, [fd](const Event& event) { return event.fd == fd; });
}

}  // namespace tollbrook
