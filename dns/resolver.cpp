#include "dns/resolver.h"

#include <algorithm>
#include <new>

#include "core/log.h"
#include "dns/health_monitor.h"
#include "dns/query.h"
#include "dns/tcp_exchange.h"
#include "dns/udp_exchange.h"

namespace tollbrook {

namespace {

constexpr uint32_t kDefaultTimeoutMs = 5000;
constexpr uint32_t kDefaultCacheCapacity = 1000;
constexpr uint32_t kDefaultNegativeTtl = 60;
constexpr uint32_t kMinPositiveTtl = 30;
constexpr uint32_t kMaxPositiveTtl = 86400;

using Failure = std::unexpected<std::string_view>;

std::expected<std::vector<ServerAddress>, std::string_view> parseServers(
    const std::vector<std::string>& nameservers, uint16_t port) {
  std::vector<ServerAddress> servers;
  try {
    servers.reserve(nameservers.size());
  } catch (const std::bad_alloc&) {
    return Failure(kResolverAllocAddresses);
  }
  for (const std::string& text : nameservers) {
    auto address = parseServerAddress(text, port);
    if (!address) return Failure(kResolverInvalidAddress);
    servers.push_back(*address);
  }
  return servers;
}

std::expected<std::vector<std::string>, std::string_view> copyTexts(
    const std::vector<std::string>& nameservers) {
  std::vector<std::string> texts;
  try {
    texts.reserve(nameservers.size());
  } catch (const std::bad_alloc&) {
    return Failure(kResolverAllocList);
  }
  try {
    for (const std::string& text : nameservers) texts.push_back(text);
  } catch (const std::bad_alloc&) {
    return Failure(kResolverCopyNameserver);
  }
  return texts;
}

uint32_t cacheTtl(const std::vector<DnsRecord>& records) {
  uint32_t smallest = kMaxPositiveTtl;
  for (const DnsRecord& record : records) smallest = std::min(smallest, record.ttl);
  return std::max(smallest, kMinPositiveTtl);
}

Error negativeError(NegativeKind kind) {
  switch (kind) {
    case NegativeKind::NameError:
      return Error::DnsNameError;
    case NegativeKind::ServerFailure:
      return Error::DnsServerFailure;
    case NegativeKind::Timeout:
      return Error::DnsTimeout;
  }
  return Error::DnsTimeout;
}

bool isRefusal(uint8_t rcode) {
  return rcode == kRcodeServerFailure || rcode == kRcodeRefused;
}

}  // namespace

std::expected<Resolver, std::string_view> Resolver::create(const ResolverSettings& settings) {
  // A resolver without any server could only ever time out; refuse it here,
  // where the tools and the daemon report construction problems.
  if (settings.nameservers.empty()) return Failure(kResolverInvalidAddress);
  auto servers = parseServers(settings.nameservers, settings.port);
  if (!servers) return Failure(servers.error());
  auto texts = copyTexts(settings.nameservers);
  if (!texts) return Failure(texts.error());

  Resolver resolver;
  try {
    // The clocks are the members that may allocate (capturing test clocks).
    resolver.clock_ = settings.clock ? settings.clock : Clock(realtimeMilliseconds);
    resolver.durationClock_ =
        settings.durationClock ? settings.durationClock : Clock(monotonicMilliseconds);
  } catch (const std::bad_alloc&) {
    return Failure(kResolverAllocAddresses);
  }
  resolver.servers_ = std::move(*servers);
  resolver.nameserverTexts_ = std::move(*texts);
  resolver.port_ = settings.port;
  resolver.retries_ = settings.retries;
  // A zero receive timeout would make the socket wait forever.
  resolver.timeoutMs_ = settings.timeoutMs == 0 ? kDefaultTimeoutMs : settings.timeoutMs;
  uint32_t capacity = settings.cacheCapacity;
  resolver.negativeTtl_ = settings.negativeTtl;
  if (capacity == 0 && settings.negativeTtl == 0) {
    capacity = kDefaultCacheCapacity;
    resolver.negativeTtl_ = kDefaultNegativeTtl;
  }
  resolver.cache_ = ResolverCache(capacity);
  resolver.monitor_ = settings.monitor;
  resolver.queryId_ = static_cast<uint16_t>(resolver.nowMs());
  return resolver;
}

Result<std::vector<DnsRecord>> Resolver::queryTxt(std::string_view name) {
  try {
    return lookup(name);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Result<Resolver::Records> Resolver::lookup(std::string_view name) {
  auto key = txtCacheKey(name);
  if (!key) return fail(key.error());
  if (auto cached = fromCache(name, *key)) return std::move(*cached);

  const uint16_t identifier = queryId_++;
  auto query = buildTxtQuery(name, identifier);
  if (!query) return fail(query.error());

  const int64_t startedMs = durationNowMs();
  if (monitor_ != nullptr && !anyServerUsable()) {
    logMessage(Severity::Warning, "dns: ", name,
               " not queried, all nameservers marked down (monitor)");
    return fail(Error::DnsNoHealthyServers);
  }
  auto reply = udpPass(name, *query, startedMs);
  if (!reply) return fail(reply.error());
  if (!*reply) {
    logFailure(name, Error::DnsTimeout, startedMs);
    cacheNegative(*key, NegativeKind::Timeout);
    return fail(Error::DnsTimeout);
  }
  auto response = parseResponse(**reply);
  if (!response) return fail(response.error());
  if (response->identifier != identifier) return fail(Error::IdMismatch);
  if (response->truncated) {
    if (auto status = retryOverTcp(name, *query, identifier, *response); !status) {
      return fail(status.error());
    }
  }
  return useAnswer(name, *key, std::move(*response));
}

std::optional<Result<Resolver::Records>> Resolver::fromCache(std::string_view name,
                                                             std::string_view key) {
  const CacheEntry* entry = cache_.find(key, nowSeconds());
  if (entry == nullptr) {
    logMessage(Severity::Debug, "dns: cache miss ", name);
    return std::nullopt;
  }
  if (entry->negative) {
    logMessage(Severity::Debug, "dns: cache negative hit ", name,
               " kind=", negativeKindName(entry->kind));
    return Result<Records>(fail(negativeError(entry->kind)));
  }
  logMessage(Severity::Debug, "dns: cache hit ", name);
  return Result<Records>(entry->records);
}

// Slots the monitor does not cover (the list grew after start-up) count as down.
bool Resolver::skippedByMonitor(size_t server) const {
  return monitor_ != nullptr && !monitor_->isUp(server);
}

bool Resolver::anyServerUsable() const {
  for (size_t i = 0; i < servers_.size(); ++i) {
    if (!skippedByMonitor(i)) return true;
  }
  return false;
}

// Asks each usable server in rotation order until one answers with anything
// but SERVFAIL or REFUSED; the last such refusal stands in when nobody else
// answers. nullopt: no server replied at all.
Result<std::optional<std::string>> Resolver::udpPass(std::string_view name, std::string_view query,
                                                     int64_t startedMs) {
  std::optional<std::string> lastRefusal;
  const size_t count = servers_.size();
  const unsigned attempts = unsigned{retries_} + 1;
  for (size_t i = 0; i < count; ++i) {
    const size_t server = (rotationStart_ + i) % count;
    if (skippedByMonitor(server)) continue;
    auto reply = udpExchange(servers_[server], query, timeoutMs_, attempts);
    if (!reply) {
      logFailure(name, reply.error(), startedMs);
      return fail(reply.error());
    }
    if (!*reply) continue;
    const uint8_t rcode = replyRcode(**reply);
    if (!isRefusal(rcode)) {
      rotationStart_ = (server + 1) % count;
      return reply;
    }
    logMessage(Severity::Debug, "dns: ", nameserverTexts_[server], " returned rcode=", rcode,
               ", trying next server");
    lastRefusal = std::move(*reply);
  }
  return lastRefusal;
}

// The first server that delivers anything over TCP settles the retry: its reply
// replaces the truncated one only when it decodes and carries our identifier.
Status Resolver::retryOverTcp(std::string_view name, std::string_view query, uint16_t identifier,
                              DnsResponse& response) {
  logMessage(Severity::Debug, "dns: ", name, " truncated over udp, retrying over tcp");
  const size_t count = servers_.size();
  for (size_t i = 0; i < count; ++i) {
    const size_t server = (rotationStart_ + i) % count;
    if (skippedByMonitor(server)) continue;
    auto bytes = tcpExchange(servers_[server], query, timeoutMs_);
    if (!bytes) {
      if (bytes.error() == Error::OutOfMemory) return fail(Error::OutOfMemory);
      continue;
    }
    auto decoded = parseResponse(*bytes);
    if (!decoded) {
      if (decoded.error() == Error::OutOfMemory) return fail(Error::OutOfMemory);
      logMessage(Severity::Debug, "dns: tcp reply for ", name,
                 " unparseable err=", decoded.error());
      return {};
    }
    if (decoded->identifier == identifier) response = std::move(*decoded);
    return {};
  }
  logMessage(Severity::Debug, "dns: tcp retry for ", name, " failed err=", Error::DnsTimeout);
  return {};
}

Result<Resolver::Records> Resolver::useAnswer(std::string_view name, std::string_view key,
                                              DnsResponse response) {
  if (response.rcode == kRcodeNoError) {
    if (!response.records.empty()) cachePositive(key, response.records);
    return std::move(response.records);
  }
  if (response.rcode == kRcodeNameError) {
    cacheNegative(key, NegativeKind::NameError);
    return fail(Error::DnsNameError);
  }
  logMessage(Severity::Warning, "dns: ", name, " refused, rcode=", rcodeName(response.rcode),
             " from all nameservers");
  cacheNegative(key, NegativeKind::ServerFailure);
  return fail(Error::DnsServerFailure);
}

// Cache failures are not lookup failures: the answer is returned regardless.
void Resolver::cachePositive(std::string_view key, const Records& records) {
  try {
    const int64_t now = nowSeconds();
    CacheEntry entry{.negative = false,
                     .kind = NegativeKind::NameError,
                     .records = records,
                     .expiresAt = now + cacheTtl(records)};
    (void)cache_.insert(key, std::move(entry), now);
  } catch (const std::bad_alloc&) {
  }
}

void Resolver::cacheNegative(std::string_view key, NegativeKind kind) {
  const int64_t now = nowSeconds();
  CacheEntry entry{.negative = true, .kind = kind, .records = {}, .expiresAt = now + negativeTtl_};
  (void)cache_.insert(key, std::move(entry), now);
}

void Resolver::logFailure(std::string_view name, Error error, int64_t startedMs) const {
  const int64_t elapsed = std::max<int64_t>(durationNowMs() - startedMs, 0);
  logMessage(Severity::Warning, "dns: query ", name, " failed err=", error, " elapsed=", elapsed,
             "ms");
}

}  // namespace tollbrook
