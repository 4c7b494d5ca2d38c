#include "tests/worker_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/listen_socket.h"

namespace tollbrook::testing {

PipeEnds makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

WorkerPool::WorkerPool() {
  PipeEnds shutdown = makePipe();
  shutdownRead_ = std::move(shutdown.read);
  shutdownWrite_ = std::move(shutdown.write);
}

WorkerPool::~WorkerPool() {
  shutdown();
  joinAll();
}

std::unique_ptr<Worker> WorkerPool::build(WorkerSetup setup) {
  PipeEnds notify = makePipe();
  setup.shutdownFd = shutdownRead_.get();
  setup.notifyFd = std::move(notify.read);
  notifyWrites_.push_back(std::move(notify.write));
  Result<std::unique_ptr<Worker>> worker = Worker::create(std::move(setup));
  if (!worker) throw std::runtime_error("Worker::create failed");
  return std::move(*worker);
}

void WorkerPool::start(std::unique_ptr<Worker> worker) {
  Result<WorkerThread> thread = WorkerThread::start(std::move(worker));
  if (!thread) throw std::runtime_error("WorkerThread::start failed");
  threads_.push_back(std::move(*thread));
}

void WorkerPool::joinAll() {
  for (WorkerThread& thread : threads_) thread.join();
}

void LogLines::collect() {
  for (std::string& line : capture_.take()) lines_.push_back(std::move(line));
}

bool LogLines::waitFor(std::string_view prefix, std::string_view suffix, int timeoutMs) {
  auto matches = [&](const std::string& line) {
    return line.starts_with(prefix) && line.ends_with(suffix) &&
           line.size() >= prefix.size() + suffix.size();
  };
  return eventually(
      [&] {
        collect();
        auto found = std::find_if(lines_.begin(), lines_.end(), matches);
        if (found == lines_.end()) return false;
        lines_.erase(found);
        return true;
      },
      timeoutMs);
}

std::string LogLines::pending() {
  collect();
  std::string joined;
  for (const std::string& line : lines_) joined += "\n  " + line;
  return joined;
}

UniqueFd listenLoopback(uint16_t& port) {
  Result<UniqueFd> fd = listenInet("127.0.0.1", 0);
  if (!fd) throw std::runtime_error("listenInet");
  port = *boundPort(fd->get());
  return std::move(*fd);
}

UniqueFd connectWithSmallWindow(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int small = 1;  // the system rounds it up to its minimum
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect");
  }
  return fd;
}

std::string packet(char command, std::string_view data) {
  const uint32_t length = static_cast<uint32_t>(data.size() + 1);
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
  out.push_back(command);
  out.append(data);
  return out;
}

bool sendAll(int fd, std::string_view bytes, size_t slice) {
  while (!bytes.empty()) {
    const size_t size = std::min(slice, bytes.size());
    ssize_t sent = send(fd, bytes.data(), size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

namespace {

// One read of whatever is there within the time left; 0 at end of file or
// when time ran out (`closed` tells which), the byte count otherwise.
size_t readSome(int fd, std::string& out, int64_t deadline, bool& closed) {
  closed = false;
  for (;;) {
    const int64_t left = deadline - monotonicMilliseconds();
    if (left <= 0) return 0;
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed = true;
      return 0;
    }
    out.append(buffer, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }
}

}  // namespace

std::string readExactly(int fd, size_t n, int timeoutMs) {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  std::string out;
  bool closed = false;
  while (out.size() < n && readSome(fd, out, deadline, closed) > 0) {
  }
  return out;
}

std::string readUntilClosed(int fd, bool& closed, int timeoutMs) {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  std::string out;
  while (readSome(fd, out, deadline, closed) > 0) {
  }
  return out;
}

}  // namespace tollbrook::testing
