// Child processes for the start-up tests, which fork, detach and take locks:
// forking a function, one-byte batons between processes, bounded waits for an
// exit, and adopting orphaned descendants so that detached daemons are reaped.
// Test thread only; children leave with _exit and never return into GoogleTest.
#ifndef TOLLBROOK_TESTS_STARTUP_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_STARTUP_TEST_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/unique_fd.h"

namespace tollbrook::testing {

// A pipe carrying single bytes (or short texts) one way between processes.
// Both processes hold both ends after a fork; each closes the end it does not use.
class Baton {
 public:
  Baton();
  bool valid() const { return readEnd_.valid() && writeEnd_.valid(); }
  void closeReadEnd() { readEnd_.reset(); }
  void closeWriteEnd() { writeEnd_.reset(); }

  void send(std::string_view text = ".");
  // The next byte, or nullopt after timeoutMs or at end of file.
  std::optional<char> receive(int64_t timeoutMs);
  // Bytes up to and including the next "\n", or what came before end of file
  // or the end of timeoutMs in all.
  std::string receiveLine(int64_t timeoutMs);

 private:
  UniqueFd readEnd_;
  UniqueFd writeEnd_;
};

// Runs `body` in a forked child, which then exits with its return value.
// Returns the child's pid, or -1 when fork failed.
pid_t forkChild(const std::function<int()>& body);

// Waits for `pid` to exit, at most timeoutMs. Its exit status; -1 when it was
// ended by a signal; -2 when it was still running (it is then killed and reaped).
int waitForExit(pid_t pid, int64_t timeoutMs);

// While it exists, orphaned descendants (a detached daemon whose parents have
// exited) become children of this process, so tests can wait for them.
// Linux only (PR_SET_CHILD_SUBREAPER); elsewhere adopted() is false.
class AdoptOrphans {
 public:
  AdoptOrphans();
  ~AdoptOrphans();
  bool adopted() const { return adopted_; }

 private:
  bool adopted_ = false;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_STARTUP_TEST_SUPPORT_H_
