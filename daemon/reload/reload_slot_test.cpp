#include "daemon/reload/reload_slot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

// A published object that knows whether it is still alive: destruction
// poisons it before freeing, so a use after free shows even without
// AddressSanitizer, and the count of live objects shows leaks and double frees.
struct Snapshot {
  static constexpr uint64_t kAlive = 0x5ca1ab1e5ca1ab1e;
  static constexpr uint64_t kDead = 0xdeadbeefdeadbeef;
  static std::atomic<int64_t> live;

  explicit Snapshot(uint64_t number) : id(number) { live.fetch_add(1); }
  uint64_t magic = kAlive;
  uint64_t id;
  uint64_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};
std::atomic<int64_t> Snapshot::live{0};

void destroySnapshot(Snapshot* snapshot) {
  snapshot->magic = Snapshot::kDead;
  Snapshot::live.fetch_sub(1);
  delete snapshot;
}

using SnapshotSlot = ReloadSlot<Snapshot, destroySnapshot>;

// For the concurrent test: destruction poisons the object, so that a worker
// reading a destroyed snapshot sees the poison. Under AddressSanitizer the
// memory is freed, and the quarantine keeps it from reuse, so such a read is a
// reported use after free; otherwise the memory is kept until the test ends
// (freed memory would be handed straight to the next snapshot, hiding the
// poison). ThreadSanitizer reports the read as a race with the poisoning.
std::vector<Snapshot*> graveyard;  // main thread only

void buryInGraveyard(Snapshot* snapshot) {
  snapshot->magic = Snapshot::kDead;
  Snapshot::live.fetch_sub(1);
#if defined(__SANITIZE_ADDRESS__)
  delete snapshot;
#else
  graveyard.push_back(snapshot);
#endif
}

void emptyGraveyard() {
  for (Snapshot* snapshot : graveyard) delete snapshot;
  graveyard.clear();
}

class ReloadSlotTest : public ::testing::Test {
 protected:
  void TearDown() override {
    config.releaseAll();
    key.releaseAll();
    EXPECT_EQ(Snapshot::live.load(), 0) << "objects leaked or freed twice";
  }

  ReloadGenerations generations;
  SnapshotSlot config;
  SnapshotSlot key;
};

// The life of the counter from start-up through reloads, with two workers.
TEST_F(ReloadSlotTest, GenerationsAndReclamationFollowTheReloads) {
  // Start-up: the first snapshot makes the counter 1, a seal key 2; with no
  // workers yet nothing is retired.
  ASSERT_TRUE(config.publish(new Snapshot(1), generations));
  EXPECT_EQ(generations.current(), 1u);
  ASSERT_TRUE(key.publish(new Snapshot(100), generations));
  EXPECT_EQ(generations.current(), 2u);
  EXPECT_EQ(config.load()->id, 1u);
  EXPECT_EQ(key.load()->id, 100u);

  ASSERT_TRUE(generations.createAcknowledgements(2));
  ReloadAcknowledger worker0(generations, 0), worker1(generations, 1);
  EXPECT_FALSE(worker0.acknowledge()) << "nothing changed since the context was built";

  // A reload with a seal key: publication, key, final step: +3.
  ASSERT_TRUE(config.publish(new Snapshot(2), generations));
  EXPECT_EQ(config.retiredCount(), 1u) << "the workers have not moved past generation 3";
  ASSERT_TRUE(key.publish(new Snapshot(101), generations));
  EXPECT_EQ(generations.advance(), 5u);
  EXPECT_EQ(Snapshot::live.load(), 4);

  // One worker wakes: still nothing can go.
  EXPECT_TRUE(worker0.acknowledge());
  config.reclaim(generations.minimumAcknowledged());
  EXPECT_EQ(config.retiredCount(), 1u);

  // Both have woken; the next reload (without a key: +2) frees the first
  // reload's snapshot and retires its own: the count stays 1.
  EXPECT_TRUE(worker1.acknowledge());
  EXPECT_FALSE(worker1.acknowledge()) << "a second pass at the same generation";
  ASSERT_TRUE(config.publish(new Snapshot(3), generations));
  EXPECT_EQ(generations.advance(), 7u);
  EXPECT_EQ(config.retiredCount(), 1u);
  EXPECT_EQ(config.load()->id, 3u);
  EXPECT_EQ(key.retiredCount(), 1u) << "keys are reclaimed by key publications or at shutdown";

  // A failed reload only advances the counter; the workers notice it.
  EXPECT_EQ(generations.advance(), 8u);
  EXPECT_TRUE(worker0.acknowledge());
  EXPECT_TRUE(worker1.acknowledge());
  EXPECT_EQ(generations.minimumAcknowledged(), 8u);
}

TEST_F(ReloadSlotTest, WithoutWorkersEveryRetiredObjectGoesAtOnce) {
  EXPECT_EQ(generations.minimumAcknowledged(), UINT64_MAX);
  for (uint64_t id = 1; id <= 20; ++id) {
    ASSERT_TRUE(config.publish(new Snapshot(id), generations));
    EXPECT_EQ(config.retiredCount(), 0u) << "publication " << id;
  }
  EXPECT_EQ(Snapshot::live.load(), 1);
}

// A worker index outside the array writes nothing and holds nothing back.
TEST_F(ReloadSlotTest, AnAcknowledgerOutsideTheArrayIsIgnored) {
  ASSERT_TRUE(generations.createAcknowledgements(1));
  ReloadAcknowledger stray(generations, 5);
  ASSERT_TRUE(config.publish(new Snapshot(1), generations));
  EXPECT_TRUE(stray.acknowledge());
  EXPECT_EQ(generations.minimumAcknowledged(), 0u);
}

// Retired objects pile up while a worker sleeps, beyond the first capacity
// (8), in the order-free list, and all go once it wakes.
TEST_F(ReloadSlotTest, ASleepingWorkerHoldsBackEveryLaterRetirement) {
  ASSERT_TRUE(generations.createAcknowledgements(3));
  ReloadAcknowledger awake(generations, 0), alsoAwake(generations, 1), asleep(generations, 2);
  for (uint64_t id = 1; id <= 30; ++id) {
    ASSERT_TRUE(config.publish(new Snapshot(id), generations));
    awake.acknowledge();
    alsoAwake.acknowledge();
  }
  EXPECT_EQ(config.retiredCount(), 29u);
  // Waking half-way through the history frees what it moved past. (Written
  // as the Worker's ReloadLink writes it, through the entries themselves.)
  ASSERT_EQ(generations.acknowledgements().size(), 3u);
  generations.acknowledgements()[2].store(10);
  config.reclaim(generations.minimumAcknowledged());
  EXPECT_EQ(config.retiredCount(), 20u) << "generations 11 to 30 must stay";
  asleep.acknowledge();
  config.reclaim(generations.minimumAcknowledged());
  EXPECT_EQ(config.retiredCount(), 0u);
  EXPECT_EQ(config.load()->id, 30u);
}

// The list grows when it is full: the first publication makes room for 8,
// the ninth retirement needs more.
TEST_F(ReloadSlotTest, OutOfMemoryLeavesTheSlotAndCounterAsTheyWere) {
  ASSERT_TRUE(generations.createAcknowledgements(1));  // a worker that never wakes
  for (uint64_t id = 1; id <= 9; ++id) {
    Snapshot* next = new Snapshot(id);
    testing::ScopedAllocationFailure failure(id == 1 ? 1 : 0);  // only the first one allocates
    ASSERT_TRUE(config.publish(next, generations)) << "publication " << id;
  }
  ASSERT_EQ(config.retiredCount(), 8u);
  Snapshot* fresh = new Snapshot(10);
  Status published;
  {
    testing::ScopedAllocationFailure failure(0);
    published = config.publish(fresh, generations);
  }
  ASSERT_FALSE(published);
  EXPECT_EQ(published.error(), Error::OutOfMemory);
  EXPECT_EQ(config.load()->id, 9u);
  EXPECT_EQ(generations.current(), 9u);
  EXPECT_EQ(config.retiredCount(), 8u);
  EXPECT_EQ(Snapshot::live.load(), 9) << "the refused object is destroyed";

  {
    testing::ScopedAllocationFailure failure(0);
    EXPECT_EQ(generations.createAcknowledgements(4), fail(Error::OutOfMemory));
  }
  EXPECT_EQ(generations.workerCount(), 0u);
}

// Workers run passes (acknowledge, load, use for a while) while the main
// thread publishes and reclaims as fast as it can. A snapshot destroyed while a
// worker still reads it shows as the poisoned magic value.
TEST(ReloadSlotConcurrency, NothingIsDestroyedWhileAWorkerUsesIt) {
  constexpr size_t kWorkers = 3;
  constexpr uint64_t kPublications = 20000;
  ReloadGenerations generations;
  ASSERT_TRUE(generations.createAcknowledgements(kWorkers));
  auto slot = std::make_unique<ReloadSlot<Snapshot, buryInGraveyard>>();
  ASSERT_TRUE(slot->publish(new Snapshot(0), generations));

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> corrupted{0};
  std::atomic<uint64_t> passes{0};
  auto work = [&](size_t index) {
    ReloadAcknowledger acknowledger(generations, index);
    uint64_t lastId = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      acknowledger.acknowledge();
      const Snapshot* snapshot = slot->load();
      // Read the object several times within the pass, yielding between
      // reads so that publications land in the middle of it.
      for (int read = 0; read < 4; ++read) {
        uint64_t sum = 0;
        for (uint64_t value : snapshot->payload) sum += value;
        if (snapshot->magic != Snapshot::kAlive || sum != 36) corrupted.fetch_add(1);
        std::this_thread::yield();
      }
      if (snapshot->id < lastId) corrupted.fetch_add(1);  // never an older one
      lastId = snapshot->id;
      passes.fetch_add(1, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> workers;
  for (size_t i = 0; i < kWorkers; ++i) workers.emplace_back(work, i);

  int64_t mostAlive = 0;
  for (uint64_t id = 1; id <= kPublications; ++id) {
    ASSERT_TRUE(slot->publish(new Snapshot(id), generations));
    mostAlive = std::max(mostAlive, Snapshot::live.load());
    if (id % 16 == 0) std::this_thread::yield();
  }
  stop.store(true);
  for (std::thread& worker : workers) worker.join();

  EXPECT_EQ(corrupted.load(), 0u) << "reads of destroyed snapshots";
  EXPECT_GT(passes.load(), 0u);
  EXPECT_LT(mostAlive, static_cast<int64_t>(kPublications))
      << "retired snapshots must be reclaimed along the way";
  // Once every worker has passed the top of its loop again, all can go.
  for (size_t i = 0; i < kWorkers; ++i) ReloadAcknowledger(generations, i).acknowledge();
  slot->reclaim(generations.minimumAcknowledged());
  EXPECT_EQ(slot->retiredCount(), 0u);
  slot.reset();
  EXPECT_EQ(Snapshot::live.load(), 0);
  emptyGraveyard();
}

}  // namespace
}  // namespace tollbrook
