#include <unistd.h>

#include <cstring>
#include <mutex>

#include "core/log.h"
#include "platform/io.h"

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

void flush(StderrState& state) {
  // Nothing else can be done with a broken standard error.
  (void)writeAll(STDERR_FILENO, std::string_view(state.buffer, state.used));
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
