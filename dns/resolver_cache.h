// The resolver's answer cache: positive answers (copies of the records) and
// negative markers, each with an expiry in whole realtime seconds, bounded by a
// capacity with eviction in insertion order. Owned by one Resolver, one thread.
#ifndef TOLLBROOK_DNS_RESOLVER_CACHE_H_
#define TOLLBROOK_DNS_RESOLVER_CACHE_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "dns/dns_record.h"

namespace tollbrook {

enum class NegativeKind : uint8_t { NameError = 0, ServerFailure = 1, Timeout = 2 };

// "name_error", "server_failure", "timeout".
std::string_view negativeKindName(NegativeKind kind);

struct CacheEntry {
  bool negative = false;
  NegativeKind kind = NegativeKind::NameError;  // meaningful when negative
  std::vector<DnsRecord> records;               // meaningful when positive
  int64_t expiresAt = 0;                        // realtime seconds
};

// The cache key of a TXT lookup: the name with A-Z lowered, then ":16".
Result<std::string> txtCacheKey(std::string_view name);

class ResolverCache {
 public:
  explicit ResolverCache(uint32_t capacity = 1000) : capacity_(capacity) {}

  // The entry under key if it expires later than now; nullptr otherwise. The
  // pointer lives until the next insert.
  const CacheEntry* find(const std::string& key, int64_t now) const;

  // Stores entry under key, first evicting as needed: expired entries in
  // insertion order until below capacity, then the oldest. A key already
  // present is replaced in place and keeps its place in the eviction order.
  // OutOfMemory leaves the cache as it was before the call or with fewer
  // entries, never inconsistent.
  Status insert(const std::string& key, CacheEntry entry, int64_t now);

  size_t size() const { return entries_.size(); }

 private:
  void makeRoom(int64_t now);
  void evictFront();

  uint32_t capacity_;
  std::unordered_map<std::string, CacheEntry> entries_;
  std::deque<std::string> order_;  // keys in insertion order
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_RESOLVER_CACHE_H_
