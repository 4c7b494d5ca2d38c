#include "daemon/worker/connection_table.h"

#include <new>

namespace tollbrook {

Status ConnectionTable::insert(std::unique_ptr<MilterConnection> connection) {
  const int fd = connection->socket.get();
  if (fd < 0) return fail(Error::BadFileDescriptor);
  const size_t slot = static_cast<size_t>(fd);
  try {
    if (slot >= slots_.size()) slots_.resize(slot + 1);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (slots_[slot]) return fail(Error::InvalidArgument);
  slots_[slot] = std::move(connection);
  ++count_;
  return {};
}

std::unique_ptr<MilterConnection> ConnectionTable::remove(int fd) {
  if (find(fd) == nullptr) return nullptr;
  --count_;
  return std::move(slots_[static_cast<size_t>(fd)]);
}

void ConnectionTable::clear() {
  slots_.clear();
  count_ = 0;
}

}  // namespace tollbrook
