// The daemon's DNS health monitor: one thread that probes every configured
// nameserver with a root NS query and keeps a one-byte up flag per server. The
// main thread creates, starts and stops it; workers' resolvers only read the
// flags (single-byte atomic loads). It must outlive every resolver using it.
#ifndef TOLLBROOK_DNS_HEALTH_MONITOR_H_
#define TOLLBROOK_DNS_HEALTH_MONITOR_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/unique_fd.h"
#include "dns/server_address.h"
#include "platform/thread.h"

namespace tollbrook {

struct HealthMonitorSettings {
  uint16_t port = 53;
  std::chrono::milliseconds probeInterval{5000};
  uint32_t probeTimeoutMs = 2000;
};

class HealthMonitor {
 public:
  static constexpr size_t kMaxServers = 8;

  // Fails with InvalidServerCount (not 1 to 8 entries), InvalidAddress (an
  // entry is not an address literal) or OutOfMemory. Every server starts up.
  [[nodiscard]] static Result<std::unique_ptr<HealthMonitor>> create(
      std::span<const std::string> nameservers, HealthMonitorSettings settings = {});

  ~HealthMonitor();  // stops the thread if it runs
  HealthMonitor(const HealthMonitor&) = delete;
  HealthMonitor& operator=(const HealthMonitor&) = delete;

  // Starts the probing thread (16 MiB stack, 4 KiB guard; SIGHUP, SIGINT,
  // SIGTERM, SIGPIPE blocked in it). Fails with the error of the wake-up pipe
  // or of the thread creation.
  [[nodiscard]] Status start();
  // Sets the stop flag, wakes the thread out of a probe or the interval wait,
  // and joins it: returns promptly even while a probe waits on a silent
  // server. Safe to call when not started or already stopped.
  void stop();

  size_t serverCount() const { return servers_.size(); }
  // Any thread. Slots at or beyond serverCount() are never up.
  bool isUp(size_t index) const;
  bool anyUp() const;

  // One probing round of every server on the calling thread, which nothing
  // interrupts. Tests call it while no thread runs.
  void probeAll();

 private:
  enum class ProbeOutcome : uint8_t { Answered, Failed, Interrupted };

  HealthMonitor(std::vector<ServerAddress> servers, HealthMonitorSettings settings);
  void run(int wakeFd);
  bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
  bool probeRound(int wakeFd);
  ProbeOutcome probe(const ServerAddress& server, int wakeFd) const;
  void record(size_t index, bool success);
  void waitInterval(int wakeFd) const;

  std::vector<ServerAddress> servers_;
  HealthMonitorSettings settings_;
  std::array<std::atomic<uint8_t>, kMaxServers> up_{};
  std::array<uint8_t, kMaxServers> failures_{};  // monitor thread only
  std::atomic<bool> stop_{false};
  // Main thread only. Closing it brings the read end, which the monitor
  // thread owns and polls beside every socket, to end of file.
  UniqueFd wakeWriter_;
  Thread thread_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_HEALTH_MONITOR_H_
