#include "tests/startup_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "base/clock.h"

namespace tollbrook::testing {

Baton::Baton() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) == 0) {
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
  }
}

void Baton::send(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(writeEnd_.get(), text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::optional<char> Baton::receive(int64_t timeoutMs) {
  pollfd entry{readEnd_.get(), POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return std::nullopt;
  char byte;
  ssize_t n;
  do {
    n = read(readEnd_.get(), &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return std::nullopt;
  return byte;
}

std::string Baton::receiveLine(int64_t timeoutMs) {
  std::string text;
  int64_t deadline = monotonicMilliseconds() + timeoutMs;
  while (monotonicMilliseconds() < deadline) {
    auto byte = receive(deadline - monotonicMilliseconds());
    if (!byte) break;
    text += *byte;
    if (*byte == '\n') break;
  }
  return text;
}

pid_t forkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int waitForExit(pid_t pid, int64_t timeoutMs) {
  int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR) return -1;
    if (monotonicMilliseconds() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

AdoptOrphans::AdoptOrphans() {
#if defined(__linux__)
  adopted_ = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
#endif
}

AdoptOrphans::~AdoptOrphans() {
#if defined(__linux__)
  if (adopted_) prctl(PR_SET_CHILD_SUBREAPER, 0);
#endif
}

}  // namespace tollbrook::testing
