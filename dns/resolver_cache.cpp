#include "dns/resolver_cache.h"

#include <new>

#include "base/ascii.h"

namespace tollbrook {

std::string_view negativeKindName(NegativeKind kind) {
  switch (kind) {
    case NegativeKind::NameError:
      return "name_error";
    case NegativeKind::ServerFailure:
      return "server_failure";
    case NegativeKind::Timeout:
      return "timeout";
  }
  return "name_error";
}

Result<std::string> txtCacheKey(std::string_view name) {
  try {
    std::string key;
    key.reserve(name.size() + 3);
    for (char c : name) key.push_back(asciiLower(c));
    key.append(":16");
    return key;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

const CacheEntry* ResolverCache::find(std::string_view key, int64_t now) const {
  auto found = index_.find(key);
  if (found == index_.end() || found->second->entry.expiresAt <= now) return nullptr;
  return &found->second->entry;
}

void ResolverCache::erase(Order::iterator slot) {
  index_.erase(std::string_view(slot->key));
  order_.erase(slot);
}

void ResolverCache::makeRoom(int64_t now) {
  for (auto slot = order_.begin(); slot != order_.end() && order_.size() >= capacity_;) {
    auto next = std::next(slot);
    if (slot->entry.expiresAt <= now) erase(slot);
    slot = next;
  }
  if (!order_.empty() && order_.size() >= capacity_) erase(order_.begin());
}

Status ResolverCache::insert(std::string_view key, CacheEntry entry, int64_t now) {
  try {
    if (auto existing = index_.find(key); existing != index_.end()) erase(existing->second);
    if (order_.size() >= capacity_) makeRoom(now);
    // The key is copied into the list node first; the index then views it, so
    // a failure in either step leaves no dangling view behind.
    order_.push_back(Slot{std::string(key), std::move(entry)});
    auto slot = std::prev(order_.end());
    try {
      index_.emplace(std::string_view(slot->key), slot);
    } catch (const std::bad_alloc&) {
      order_.pop_back();
      throw;
    }
    return {};
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
