// A worker's open milter connections, found by socket descriptor. Descriptor
// numbers are small and dense, so the table is a vector indexed by them: a
// lookup on every event is one bounds check and one load. Owns the
// connections (and through them their sockets). Worker thread only.
#ifndef TOLLBROOK_DAEMON_WORKER_CONNECTION_TABLE_H_
#define TOLLBROOK_DAEMON_WORKER_CONNECTION_TABLE_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "base/error.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

class ConnectionTable {
 public:
  // Stores the connection under its socket's descriptor, which must be free.
  // Errors: OutOfMemory (the connection is then destroyed with its socket).
  [[nodiscard]] Status insert(std::unique_ptr<MilterConnection> connection);

  // The connection on `fd`, or null.
  MilterConnection* find(int fd) const {
    const size_t slot = static_cast<size_t>(fd);
    return fd >= 0 && slot < slots_.size() ? slots_[slot].get() : nullptr;
  }

  // Takes the connection on `fd` out of the table (null when there is none).
  std::unique_ptr<MilterConnection> remove(int fd);

  // Closes and frees every connection.
  void clear();

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  std::vector<std::unique_ptr<MilterConnection>> slots_;
  size_t count_ = 0;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_WORKER_CONNECTION_TABLE_H_
