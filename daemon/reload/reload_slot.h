// Lock-free publication of what a reload may change (the configuration
// snapshot, the seal key) from the main thread to the workers, and the
// bookkeeping that frees an old object only once no worker can still use it.
// The main thread owns the slots, the generation counter and the retired
// lists; each worker writes only its own acknowledgement entry.
//
// How it works. Every publication and every reload attempt advances one
// process-wide generation counter. At the top of each pass of its event loop a
// worker stores the counter's value in its acknowledgement entry and only then
// loads slot pointers, which it uses within that pass and never keeps across
// passes. Publishing exchanges the slot's pointer and then increments the
// counter (both sequentially consistent, in this order) to g, and retires the
// old pointer with generation g.
//
// Why reclamation is safe. Suppose a worker still uses a pointer P retired
// with generation g, loaded in a pass whose acknowledgement read the counter
// as a. Had that read seen g or more, it would come after the increment to g
// in the single order of sequentially consistent operations, and so after the
// exchange that removed P; the worker's later load of the slot would then have
// returned the new pointer (or a newer one), not P. So a < g. The worker's
// entry moves to g or beyond only at the top of a later pass, by which time it
// is done with P, and the main thread's load of that entry synchronises with
// the worker's store, so every use of P happens before the main thread frees
// it. Hence an entry retired with g may be destroyed once every worker has
// acknowledged a value >= g. A worker asleep in its event wait keeps an old
// acknowledgement and so holds back reclamation until it wakes: the reload
// writes to each worker's notify pipe for that reason.
#ifndef TOLLBROOK_DAEMON_RELOAD_RELOAD_SLOT_H_
#define TOLLBROOK_DAEMON_RELOAD_RELOAD_SLOT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/error.h"

namespace tollbrook {

// The generation counter (`configGeneration`) and the per-worker
// acknowledgements (`workerAcks`). Created by the main thread; workers get a
// reference (or, for the Worker's ReloadLink, the counter and the entries) and
// touch only their own entry.
class ReloadGenerations {
 public:
  ReloadGenerations() = default;
  ReloadGenerations(const ReloadGenerations&) = delete;
  ReloadGenerations& operator=(const ReloadGenerations&) = delete;

  // The counter's value; any thread.
  uint64_t current() const { return counter_.load(std::memory_order_seq_cst); }
  // Main thread: one step forward (a publication, a finished or failed
  // reload). Returns the new value.
  uint64_t advance() { return counter_.fetch_add(1, std::memory_order_seq_cst) + 1; }

  // Main thread, before any worker starts: one entry per worker, each holding
  // the counter's current value. OutOfMemory leaves no entries.
  [[nodiscard]] Status createAcknowledgements(size_t workers);
  size_t workerCount() const { return ackCount_; }

  // Worker `index`: records that it has seen `generation`. An index outside
  // the array is ignored.
  void acknowledge(size_t index, uint64_t generation);
  // Main thread: the lowest acknowledgement, or the largest uint64_t while
  // there are no workers (nobody can hold a pointer then).
  uint64_t minimumAcknowledged() const;

  // For the Worker's ReloadLink, which reads the counter and writes its entry
  // itself, in the order ReloadAcknowledger does. Valid while this object lives
  // and createAcknowledgements is not called again.
  const std::atomic<uint64_t>& counter() const { return counter_; }
  std::span<std::atomic<uint64_t>> acknowledgements() { return {acks_.get(), ackCount_}; }

 private:
  std::atomic<uint64_t> counter_{0};
  // Plain adjacent entries: each worker writes its own once per loop pass,
  // too rarely for sharing a cache line to matter.
  std::unique_ptr<std::atomic<uint64_t>[]> acks_;
  size_t ackCount_ = 0;
};

// A worker's side of the acknowledgement: the step at the top of its loop.
// Lives in the worker's context; worker thread only. (The Worker's
// acknowledgeGeneration takes the same steps over its ReloadLink.)
class ReloadAcknowledger {
 public:
  // `lastSeen` starts at the counter's value when the worker's context is built.
  ReloadAcknowledger(ReloadGenerations& generations, size_t workerIndex)
      : generations_(&generations), index_(workerIndex), lastSeen_(generations.current()) {}

  // Stores the counter's value in this worker's entry. True when it differs
  // from the value seen at the previous pass: the caller then runs its
  // reload hook (dropping the resolver and its cache). Slot pointers may be
  // loaded only after this call, for use within the same pass.
  bool acknowledge() {
    uint64_t now = generations_->current();
    generations_->acknowledge(index_, now);
    if (now == lastSeen_) return false;
    lastSeen_ = now;
    return true;
  }

 private:
  ReloadGenerations* generations_;
  size_t index_;
  uint64_t lastSeen_;
};

// The type-free core of ReloadSlot, kept out of line; use ReloadSlot<T>.
class ReloadSlotCore {
 public:
  using Destroy = void (*)(void*);

  explicit ReloadSlotCore(Destroy destroy) : destroy_(destroy) {}
  ~ReloadSlotCore() { releaseAll(); }
  ReloadSlotCore(const ReloadSlotCore&) = delete;
  ReloadSlotCore& operator=(const ReloadSlotCore&) = delete;

  void* load() const { return current_.load(std::memory_order_seq_cst); }
  [[nodiscard]] Status publish(void* fresh, ReloadGenerations& generations);
  void reclaim(uint64_t acknowledged);
  size_t retiredCount() const { return retired_.size(); }
  void releaseAll();

 private:
  struct Retired {
    void* object;
    uint64_t generation;
  };

  [[nodiscard]] Status makeRoomForOneMore();

  std::atomic<void*> current_{nullptr};
  std::vector<Retired> retired_;
  Destroy destroy_;
};

// One publication slot: the current object, read lock-free by the workers,
// and the retired ones that some worker may still be using. Destroy is the
// pointee's release routine (for the seal key: release the key, then free the
// holder). Main thread, except load().
template <typename T, void (*Destroy)(T*)>
class ReloadSlot {
 public:
  ReloadSlot() : core_(&destroyErased) {}

  // Workers: the current object, null before the first publication. Load it
  // after acknowledging the pass, use it within the pass, never keep it.
  T* load() const { return static_cast<T*>(core_.load()); }

  // Main thread. Takes ownership of `fresh` (not null): makes it current,
  // advances the counter, retires the old object with the new generation and
  // destroys every retired object that all workers have moved past. The only
  // error is OutOfMemory (no room to retire the old object); `fresh` is then
  // destroyed and the slot and the counter are as they were.
  [[nodiscard]] Status publish(T* fresh, ReloadGenerations& generations) {
    return core_.publish(fresh, generations);
  }

  // Main thread: destroys the retired objects whose generation is at most
  // `acknowledged`, as publish does. For reclaiming at other moments.
  void reclaim(uint64_t acknowledged) { core_.reclaim(acknowledged); }

  // Objects retired and not yet destroyed; the reload's log lines report it.
  size_t retiredCount() const { return core_.retiredCount(); }

  // Main thread, after every worker has been joined: destroys the current and
  // every retired object. The destructor does the same.
  void releaseAll() { core_.releaseAll(); }

 private:
  static void destroyErased(void* object) { Destroy(static_cast<T*>(object)); }

  ReloadSlotCore core_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_RELOAD_SLOT_H_
