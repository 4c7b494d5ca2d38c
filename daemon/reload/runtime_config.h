// The settings a reload may change, as one immutable snapshot: a deep copy of
// the reloadable part of a DaemonConfig, so it owns every text and list and
// outlives the configuration it was copied from. The main thread builds and
// publishes it; workers only read it, within one pass of their loop, and
// never keep a pointer to it across passes. Heap-only and immovable: the
// parsed local methods are views into its own texts.
//
// A snapshot also holds the DNS health monitor of its nameserver list, shared
// with the snapshots before and after it while the list stays the same, so a
// resolver built from a snapshot is judged by the servers it actually asks.
// The reference is counted only on the main thread (when a snapshot is built
// and when one is reclaimed); workers see a plain pointer.
#ifndef TOLLBROOK_DAEMON_RELOAD_RUNTIME_CONFIG_H_
#define TOLLBROOK_DAEMON_RELOAD_RUNTIME_CONFIG_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arc/dns_error_policy.h"
#include "base/error.h"
#include "daemon/config/daemon_config.h"
#include "dns/health_monitor.h"
#include "dns/resolver.h"

namespace tollbrook {

// The port the daemon asks nameservers on.
inline constexpr uint16_t kDaemonDnsPort = 53;

// The limits one chain validation runs under.
struct ValidationLimits {
  int64_t maxEvaluationMs = 0;  // 0: no budget
  uint32_t minimumKeyBits = 1024;
  uint8_t maxKeyRecords = 3;
};

class RuntimeConfig {
 public:
  // The snapshot of `config`. Error: OutOfMemory.
  [[nodiscard]] static Result<std::unique_ptr<RuntimeConfig>> copyFrom(const DaemonConfig& config);

  RuntimeConfig(const RuntimeConfig&) = delete;
  RuntimeConfig& operator=(const RuntimeConfig&) = delete;

  std::string authservId;
  std::vector<std::string> dnsNameservers;
  uint32_t dnsTimeoutMs = 0;
  uint32_t dnsCacheSize = 0;
  uint32_t dnsNegativeTtl = 0;        // seconds
  uint16_t dnsPort = kDaemonDnsPort;  // tests point it at a server of their own
  uint8_t dnsRetries = 0;
  std::optional<std::string> sealDomain;
  std::optional<std::string> sealSelector;
  std::string signedHeaders;
  int64_t maxEvaluationMs = 0;
  uint32_t minimumKeyBits = 0;
  uint8_t maxKeyRecords = 0;
  OnDnsErrorPolicy onDnsError = OnDnsErrorPolicy::Tempfail;
  bool stripAuthResults = false;

  // LocalAuthMethods, split once here rather than for every message. The
  // views point into this snapshot.
  std::span<const std::string_view> localAuthMethods() const { return methodViews_; }
  // Replaces the local methods (for builders and tests). Error: OutOfMemory,
  // leaving the old list.
  [[nodiscard]] Status setLocalAuthMethods(std::span<const std::string> methods);

  // The settings of a worker's resolver: these nameservers, port, timeout,
  // retries and cache sizes, and this snapshot's health monitor; the clocks
  // are left to the caller. The monitor lives as long as the snapshot, and a
  // worker drops its resolver when it acknowledges a new generation, before
  // the snapshot can be reclaimed. Error: OutOfMemory (the nameserver list is
  // copied).
  [[nodiscard]] Result<ResolverSettings> resolverSettings() const;
  // The health monitor of dnsNameservers, or null (every server is tried).
  const HealthMonitor* healthMonitor() const { return monitor_.get(); }
  std::shared_ptr<HealthMonitor> sharedHealthMonitor() const { return monitor_; }
  // Main thread only, before the snapshot is published or while no worker
  // runs (start-up attaches the monitor it starts after detaching).
  void attachHealthMonitor(std::shared_ptr<HealthMonitor> monitor) {
    monitor_ = std::move(monitor);
  }

  ValidationLimits validationLimits() const {
    return {maxEvaluationMs, minimumKeyBits, maxKeyRecords};
  }

 private:
  RuntimeConfig() = default;

  std::vector<std::string> methods_;
  std::vector<std::string_view> methodViews_;
  std::shared_ptr<HealthMonitor> monitor_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_RUNTIME_CONFIG_H_
