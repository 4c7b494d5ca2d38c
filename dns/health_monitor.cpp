#include "dns/health_monitor.h"

#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <system_error>

#include "dns/response.h"
#include "platform/socket_options.h"
#include "platform/errno_map.h"

namespace tollbrook {

namespace {

constexpr uint32_t kDefaultProbeTimeoutMs = 2000;
constexpr size_t kProbeReceiveBuffer = 512;
constexpr std::chrono::milliseconds kStopCheckStep{1000};

// Identifier 1, RD, one question: the root, type NS, class IN; no EDNS.
constexpr std::array<char, 17> kRootNsProbe = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1};

// Signals belong to the main thread's sigwait; this thread must never take one.
void blockProcessSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// nanosleep that resumes with the remaining time when a signal interrupts it.
void sleepFully(std::chrono::milliseconds duration) {
  timespec remaining{.tv_sec = static_cast<time_t>(duration.count() / 1000),
                     .tv_nsec = static_cast<long>((duration.count() % 1000) * 1000000)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

Result<std::unique_ptr<HealthMonitor>> HealthMonitor::create(
    std::span<const std::string> nameservers, HealthMonitorSettings settings) {
  if (nameservers.empty() || nameservers.size() > kMaxServers) {
    return fail(Error::InvalidServerCount);
  }
  if (settings.probeTimeoutMs == 0) settings.probeTimeoutMs = kDefaultProbeTimeoutMs;
  try {
    std::vector<ServerAddress> servers;
    servers.reserve(nameservers.size());
    for (const std::string& text : nameservers) {
      auto address = parseServerAddress(text, settings.port);
      if (!address) return fail(address.error());
      servers.push_back(*address);
    }
    return std::unique_ptr<HealthMonitor>(new HealthMonitor(std::move(servers), settings));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

HealthMonitor::HealthMonitor(std::vector<ServerAddress> servers, HealthMonitorSettings settings)
    : servers_(std::move(servers)), settings_(settings) {
  for (size_t i = 0; i < servers_.size(); ++i) up_[i].store(1, std::memory_order_relaxed);
}

HealthMonitor::~HealthMonitor() {
  stop();
}

Status HealthMonitor::start() {
  if (thread_.joinable()) return {};
  stop_.store(false, std::memory_order_relaxed);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    return fail(errorFromErrno(error.code().value()));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

void HealthMonitor::stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

bool HealthMonitor::isUp(size_t index) const {
  return index < servers_.size() && up_[index].load(std::memory_order_relaxed) != 0;
}

bool HealthMonitor::anyUp() const {
  for (size_t i = 0; i < servers_.size(); ++i) {
    if (isUp(i)) return true;
  }
  return false;
}

void HealthMonitor::run() {
  blockProcessSignals();
  while (!stop_.load(std::memory_order_relaxed)) {
    probeAll();
    if (stop_.load(std::memory_order_relaxed)) break;
    waitInterval();
  }
}

void HealthMonitor::waitInterval() {
  auto remaining = settings_.probeInterval;
  while (remaining.count() > 0 && !stop_.load(std::memory_order_relaxed)) {
    auto step = std::min(remaining, kStopCheckStep);
    sleepFully(step);
    remaining -= step;
  }
}

void HealthMonitor::probeAll() {
  for (size_t i = 0; i < servers_.size(); ++i) record(i, probe(servers_[i]));
}

// Any reply of header length counts: the server is reachable and talking DNS.
bool HealthMonitor::probe(const ServerAddress& server) const {
  auto socket = openSocket(server.family(), SOCK_DGRAM);
  if (!socket) return false;
  if (!setReceiveTimeout(socket->get(), settings_.probeTimeoutMs)) return false;
  if (sendto(socket->get(), kRootNsProbe.data(), kRootNsProbe.size(), MSG_NOSIGNAL, server.get(),
             server.length) < 0) {
    return false;
  }
  std::array<char, kProbeReceiveBuffer> buffer;
  ssize_t received = recvfrom(socket->get(), buffer.data(), buffer.size(), 0, nullptr, nullptr);
  return received >= static_cast<ssize_t>(kDnsHeaderLength);
}

// Down after two consecutive failures, up again after one success.
void HealthMonitor::record(size_t index, bool success) {
  if (success) {
    failures_[index] = 0;
    up_[index].store(1, std::memory_order_relaxed);
    return;
  }
  if (failures_[index] >= 1) up_[index].store(0, std::memory_order_relaxed);
  if (failures_[index] < 255) ++failures_[index];
}

}  // namespace tollbrook
