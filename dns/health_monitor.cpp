#include "dns/health_monitor.h"

#include <sys/socket.h>

#include <array>
#include <new>

#include "dns/response.h"
#include "platform/pipe.h"
#include "platform/readiness.h"
#include "platform/signals.h"
#include "platform/socket_options.h"

namespace tollbrook {

namespace {

constexpr uint32_t kDefaultProbeTimeoutMs = 2000;
constexpr size_t kProbeReceiveBuffer = 512;
constexpr int64_t kFallbackSleepMs = 1000;

// Identifier 1, RD, one question: the root, type NS, class IN; no EDNS.
constexpr std::array<char, 17> kRootNsProbe = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1};

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
  if (thread_.running()) return {};
  auto wake = openPipe();
  if (!wake) return fail(wake.error());
  stop_.store(false, std::memory_order_relaxed);
  auto thread = Thread::start([this, readEnd = std::move(wake->readEnd)] { run(readEnd.get()); },
                              kServiceThreadStack);
  if (!thread) return fail(thread.error());
  wakeWriter_ = std::move(wake->writeEnd);
  thread_ = std::move(*thread);
  return {};
}

void HealthMonitor::stop() {
  stop_.store(true, std::memory_order_relaxed);
  wakeWriter_.reset();
  thread_.join();
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

void HealthMonitor::run(int wakeFd) {
  // Signals belong to the main thread's sigwait; this thread must never take
  // one. Nothing can be done about a failure here but to carry on.
  (void)blockSignals(SignalSet::processControl());
  while (!stopRequested()) {
    if (!probeRound(wakeFd) || stopRequested()) break;
    waitInterval(wakeFd);
  }
}

// One wait that the stop cuts short; a signal does not lengthen it.
void HealthMonitor::waitInterval(int wakeFd) const {
  auto waited = waitReady(-1, Direction::Read, settings_.probeInterval.count(), wakeFd);
  // Should polling itself fail, pause anyway rather than probe in a tight loop.
  if (!waited) sleepFor(kFallbackSleepMs);
}

void HealthMonitor::probeAll() {
  (void)probeRound(-1);
}

// False when the stop came during the round; the probes left are not made.
bool HealthMonitor::probeRound(int wakeFd) {
  for (size_t i = 0; i < servers_.size(); ++i) {
    if (stopRequested()) return false;
    const ProbeOutcome outcome = probe(servers_[i], wakeFd);
    if (outcome == ProbeOutcome::Interrupted) return false;
    record(i, outcome == ProbeOutcome::Answered);
  }
  return true;
}

// Any reply of header length counts: the server is reachable and talking DNS.
// The wait for it is a poll beside the wake-up pipe, so that a stop need not
// wait out the probe timeout.
HealthMonitor::ProbeOutcome HealthMonitor::probe(const ServerAddress& server, int wakeFd) const {
  auto socket = openSocket(server.family(), SOCK_DGRAM);
  if (!socket) return ProbeOutcome::Failed;
  const int fd = socket->get();
  if (sendto(fd, kRootNsProbe.data(), kRootNsProbe.size(), MSG_NOSIGNAL, server.get(),
             server.length) < 0) {
    return ProbeOutcome::Failed;
  }
  auto ready = waitReady(fd, Direction::Read, settings_.probeTimeoutMs, wakeFd);
  if (ready && *ready == Readiness::Woken) return ProbeOutcome::Interrupted;
  if (!ready || *ready == Readiness::TimedOut) return ProbeOutcome::Failed;
  std::array<char, kProbeReceiveBuffer> buffer;
  ssize_t received = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, nullptr, nullptr);
  return received >= static_cast<ssize_t>(kDnsHeaderLength) ? ProbeOutcome::Answered
                                                            : ProbeOutcome::Failed;
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
