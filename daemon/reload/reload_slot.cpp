#include "daemon/reload/reload_slot.h"

#include <algorithm>
#include <new>

namespace tollbrook {

Status ReloadGenerations::createAcknowledgements(size_t workers) {
  acks_.reset();
  ackCount_ = 0;
  if (workers == 0) return {};
  try {
    acks_ = std::make_unique<std::atomic<uint64_t>[]>(workers);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  uint64_t now = current();
  for (size_t i = 0; i < workers; ++i) acks_[i].store(now, std::memory_order_seq_cst);
  ackCount_ = workers;
  return {};
}

void ReloadGenerations::acknowledge(size_t index, uint64_t generation) {
  if (index < ackCount_) acks_[index].store(generation, std::memory_order_seq_cst);
}

uint64_t ReloadGenerations::minimumAcknowledged() const {
  uint64_t minimum = UINT64_MAX;
  for (size_t i = 0; i < ackCount_; ++i) {
    minimum = std::min(minimum, acks_[i].load(std::memory_order_seq_cst));
  }
  return minimum;
}

Status ReloadSlotCore::makeRoomForOneMore() {
  if (retired_.size() < retired_.capacity()) return {};
  try {
    retired_.reserve(retired_.capacity() + retired_.capacity() / 2 + 8);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Status ReloadSlotCore::publish(void* fresh, ReloadGenerations& generations) {
  if (auto room = makeRoomForOneMore(); !room) {
    destroy_(fresh);
    return room;
  }
  void* old = current_.exchange(fresh, std::memory_order_seq_cst);
  uint64_t generation = generations.advance();
  if (old != nullptr) retired_.push_back({old, generation});  // cannot throw: room was made
  reclaim(generations.minimumAcknowledged());
  return {};
}

void ReloadSlotCore::reclaim(uint64_t acknowledged) {
  for (size_t i = 0; i < retired_.size();) {
    if (retired_[i].generation > acknowledged) {
      ++i;
      continue;
    }
    destroy_(retired_[i].object);
    // The last entry takes this one's place; the order of the list means nothing.
    retired_[i] = retired_.back();
    retired_.pop_back();
  }
}

void ReloadSlotCore::releaseAll() {
  for (const Retired& entry : retired_) destroy_(entry.object);
  retired_.clear();
  if (void* current = current_.exchange(nullptr, std::memory_order_seq_cst)) destroy_(current);
}

}  // namespace tollbrook
