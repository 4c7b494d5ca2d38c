// The stub resolver every key lookup goes through: TXT queries over UDP with a
// TCP retry after truncation, rotation over the configured nameservers with
// fall-through on SERVFAIL/REFUSED, a positive and negative answer cache, and
// optional skipping of servers that the shared HealthMonitor marks down.
//
// A Resolver is owned by one thread (a daemon worker, or a tool's main thread)
// and is never shared; it takes no lock. It is movable, not copyable. Records it
// returns are the caller's.
#ifndef TOLLBROOK_DNS_RESOLVER_H_
#define TOLLBROOK_DNS_RESOLVER_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "dns/dns_record.h"
#include "dns/resolver_cache.h"
#include "dns/response.h"
#include "dns/server_address.h"

namespace tollbrook {

class HealthMonitor;

// Construction parameters. The defaults are the daemon's defaults.
struct ResolverSettings {
  // IPv4 dotted-decimal or IPv6 literals; host names and an empty list are refused.
  std::vector<std::string> nameservers;
  uint16_t port = 53;
  // Receive timeout of each UDP attempt, and the bound of a whole TCP exchange
  // (connect, send, receive). 0 means the default: a zero socket timeout would
  // wait forever.
  uint32_t timeoutMs = 5000;
  uint8_t retries = 2;  // extra UDP attempts per server
  uint32_t cacheCapacity = 1000;
  uint32_t negativeTtl = 60;  // seconds; both this and the capacity 0 mean 1000 and 60
  // Shared, read-only; must outlive the resolver. nullptr: every server is always tried.
  const HealthMonitor* monitor = nullptr;
  // The date, for cache expiry and the seed of the query identifiers. An empty
  // function also means the realtime clock.
  Clock clock = realtimeMilliseconds;
  // Elapsed times in log lines, which a step of the date must not distort. An
  // empty function also means the monotonic clock.
  Clock durationClock = monotonicMilliseconds;
};

// The fixed construction failure texts (printed by the tools as they are).
inline constexpr std::string_view kResolverInvalidAddress =
    "DNS resolver: invalid nameserver address";
inline constexpr std::string_view kResolverAllocAddresses =
    "DNS resolver: failed to allocate server addresses";
inline constexpr std::string_view kResolverAllocList =
    "DNS resolver: failed to allocate nameserver list";
inline constexpr std::string_view kResolverCopyNameserver =
    "DNS resolver: failed to copy nameserver";

class Resolver {
 public:
  // Fails with one of the texts above (static storage).
  [[nodiscard]] static std::expected<Resolver, std::string_view> create(
      const ResolverSettings& settings);

  Resolver(Resolver&&) noexcept = default;
  Resolver& operator=(Resolver&&) noexcept = default;
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // The records of the answer section (every type, in reply order; TXT data is
  // the joined character-strings), or DnsTimeout, DnsNameError,
  // DnsServerFailure, DnsNoHealthyServers, IdMismatch, a name-encoding or
  // decoding kind, a socket error kind, or OutOfMemory. An empty vector is a
  // successful answer without records.
  [[nodiscard]] Result<std::vector<DnsRecord>> queryTxt(std::string_view name);

  // Index of the server the next query tries first.
  size_t rotationStart() const { return rotationStart_; }
  // Number of entries held (expired entries included until evicted).
  size_t cacheSize() const { return cache_.size(); }

 private:
  Resolver() = default;

  using Records = std::vector<DnsRecord>;
  [[nodiscard]] Result<Records> lookup(std::string_view name);
  [[nodiscard]] std::optional<Result<Records>> fromCache(std::string_view name,
                                                         std::string_view key);
  bool skippedByMonitor(size_t server) const;
  bool anyServerUsable() const;
  [[nodiscard]] Result<std::optional<std::string>> udpPass(std::string_view name,
                                                           std::string_view query,
                                                           int64_t startedMs);
  [[nodiscard]] Status retryOverTcp(std::string_view name, std::string_view query,
                                    uint16_t identifier, DnsResponse& response);
  [[nodiscard]] Result<Records> useAnswer(std::string_view name, std::string_view key,
                                          DnsResponse response);
  void cachePositive(std::string_view key, const Records& records);
  void cacheNegative(std::string_view key, NegativeKind kind);
  void logFailure(std::string_view name, Error error, int64_t startedMs) const;
  int64_t nowMs() const { return clock_(); }
  int64_t nowSeconds() const { return nowMs() / 1000; }
  int64_t durationNowMs() const { return durationClock_(); }

  std::vector<std::string> nameserverTexts_;
  uint32_t timeoutMs_ = 5000;
  uint32_t negativeTtl_ = 60;
  uint16_t port_ = 53;
  uint8_t retries_ = 2;
  ResolverCache cache_;
  std::vector<ServerAddress> servers_;
  size_t rotationStart_ = 0;
  const HealthMonitor* monitor_ = nullptr;
  uint16_t queryId_ = 0;
  Clock clock_;
  Clock durationClock_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_RESOLVER_H_
