#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/log.h"

namespace tollbrook {

namespace {

// The lock and the 64-byte buffer are process-wide; only the lock holder
// touches the buffer. The lock is recursive so that a holder may nest writers.
struct StderrState {
  std::recursive_mutex lock;
  char buffer[64];
  size_t used = 0;
};

StderrState& stderrState() {
  static StderrState state;
  return state;
}

void writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nothing else can be done with a broken stderr
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

void flush(StderrState& state) {
  writeAll(std::string_view(state.buffer, state.used));
  state.used = 0;
}

}  // namespace

StderrWriter::StderrWriter() {
  stderrState().lock.lock();
}

StderrWriter::~StderrWriter() {
  StderrState& state = stderrState();
  flush(state);
  state.lock.unlock();
}

void StderrWriter::write(std::string_view text) {
  StderrState& state = stderrState();
  while (!text.empty()) {
    if (state.used == sizeof(state.buffer)) flush(state);
    size_t room = sizeof(state.buffer) - state.used;
    size_t count = text.size() < room ? text.size() : room;
    std::memcpy(state.buffer + state.used, text.data(), count);
    state.used += count;
    text.remove_prefix(count);
  }
}

}  // namespace tollbrook
