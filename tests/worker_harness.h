// Test support for the worker: workers on threads of their own with the pipes
// the main thread would give them, a test clock, raw socket helpers, and a
// wait for log lines. Everything here is driven from the test thread; the
// workers only read what they were built with.
#ifndef TOLLBROOK_TESTS_WORKER_HARNESS_H_
#define TOLLBROOK_TESTS_WORKER_HARNESS_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/unique_fd.h"
#include "daemon/worker/worker.h"
#include "daemon/worker/worker_thread.h"
#include "tests/dns_log_capture.h"

namespace tollbrook::testing {

// A clock the test moves by hand; the worker reads it from its own thread.
class TestClock {
 public:
  Clock clock() {
    return [this] { return now_.load(); };
  }
  void advance(int64_t ms) { now_ += ms; }

 private:
  std::atomic<int64_t> now_{1'000'000};
};

struct PipeEnds {
  UniqueFd read, write;
};
// A close-on-exec pipe whose read end is non-blocking.
PipeEnds makePipe();

// Workers sharing one shutdown pipe, as the daemon's are. Each is built from
// a setup (index, limits, handlers...) plus its own notify pipe.
class WorkerPool {
 public:
  WorkerPool();
  ~WorkerPool();  // shuts down and joins whatever is still running

  // Builds a worker; the pool keeps the notify pipe's write end. The worker
  // is not started until start().
  std::unique_ptr<Worker> build(WorkerSetup setup);
  void start(std::unique_ptr<Worker> worker);
  // Closes the write end of the shutdown pipe: every worker starts draining.
  void shutdown() { shutdownWrite_.reset(); }
  void joinAll();

  const Worker& worker(size_t i) const { return threads_.at(i).worker(); }
  int notifyWriteEnd(size_t i) const { return notifyWrites_.at(i).get(); }

 private:
  UniqueFd shutdownRead_, shutdownWrite_;
  std::vector<UniqueFd> notifyWrites_;
  std::vector<WorkerThread> threads_;
};

// Log lines as "severity text", gathered across calls.
class LogLines {
 public:
  // Waits up to timeoutMs for a line that starts with `prefix` and ends with
  // `suffix`; true when one came (it is then taken off the list).
  bool waitFor(std::string_view prefix, std::string_view suffix = {}, int timeoutMs = 5000);
  // Every line seen so far and not taken by waitFor, joined for messages.
  std::string pending();

 private:
  void collect();

  LogCapture capture_;
  std::vector<std::string> lines_;
};

// A listening inet socket on 127.0.0.1 with a port chosen by the system.
UniqueFd listenLoopback(uint16_t& port);

// A TCP connection to 127.0.0.1:port whose receive buffer is as small as the
// system allows, so that a daemon's replies back up quickly.
UniqueFd connectWithSmallWindow(uint16_t port);

// The encoded milter packet.
std::string packet(char command, std::string_view data = {});

// Sends all bytes, in slices of at most `slice` bytes. False when the peer
// closed or the send failed.
bool sendAll(int fd, std::string_view bytes, size_t slice = SIZE_MAX);

// Reads exactly n bytes (fewer when the peer closes or timeoutMs passes).
std::string readExactly(int fd, size_t n, int timeoutMs = 10000);

// Reads until the peer closes, returning what came before; `closed` says
// whether the close came within timeoutMs.
std::string readUntilClosed(int fd, bool& closed, int timeoutMs = 10000);

// Polls `condition` every few milliseconds for up to timeoutMs.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs = 5000) {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (monotonicMilliseconds() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_WORKER_HARNESS_H_
