// The resolver's answer cache: positive answers (copies of the records) and
// negative markers, each with an expiry in whole realtime seconds, bounded by a
// capacity with eviction in insertion order. Owned by one Resolver, one thread.
#ifndef TOLLBROOK_DNS_RESOLVER_CACHE_H_
#define TOLLBROOK_DNS_RESOLVER_CACHE_H_

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
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
[[nodiscard]] Result<std::string> txtCacheKey(std::string_view name);

class ResolverCache {
 public:
  explicit ResolverCache(uint32_t capacity = 1000) : capacity_(capacity) {}
  // The index holds views of keys owned by list nodes: moving keeps the nodes,
  // copying would leave the copy's index pointing into the original.
  ResolverCache(ResolverCache&&) noexcept = default;
  ResolverCache& operator=(ResolverCache&&) noexcept = default;
  ResolverCache(const ResolverCache&) = delete;
  ResolverCache& operator=(const ResolverCache&) = delete;

  // The entry under key if it expires later than now; nullptr otherwise. The
  // pointer lives until the next insert.
  const CacheEntry* find(std::string_view key, int64_t now) const;

  // Stores entry under key, first evicting as needed: expired entries in
  // insertion order until below capacity, then the oldest. A key already
  // present (its entry expired, or it would have been a hit) is replaced and
  // counts as the newest insertion. On OutOfMemory the cache is left as it
  // was, apart from evicted entries.
  [[nodiscard]] Status insert(std::string_view key, CacheEntry entry, int64_t now);

  size_t size() const { return order_.size(); }

 private:
  struct Slot {
    std::string key;
    CacheEntry entry;
  };
  using Order = std::list<Slot>;

  void makeRoom(int64_t now);
  void erase(Order::iterator slot);

  uint32_t capacity_;
  Order order_;  // oldest insertion first; owns the keys the index views
  std::unordered_map<std::string_view, Order::iterator> index_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_RESOLVER_CACHE_H_
