#include "dns/resolver_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

CacheEntry positive(std::string data, int64_t expiresAt) {
  CacheEntry entry;
  entry.records.push_back(DnsRecord{.name = "n", .data = std::move(data), .ttl = 1, .type = 16});
  entry.expiresAt = expiresAt;
  return entry;
}

std::string held(const ResolverCache& cache, const std::string& key, int64_t now) {
  const CacheEntry* entry = cache.find(key, now);
  return entry == nullptr ? "-" : entry->records.at(0).data;
}

TEST(TxtCacheKey, LowersAsciiOnly) {
  EXPECT_EQ(*txtCacheKey("Sel._DomainKey.EXAMPLE.org"), "sel._domainkey.example.org:16");
  EXPECT_EQ(*txtCacheKey("\xc3\x84Z"), "\xc3\x84z:16");
  EXPECT_EQ(*txtCacheKey(""), ":16");
}

TEST(ResolverCache, ExpiryIsStrictlyLater) {
  ResolverCache cache(4);
  ASSERT_TRUE(cache.insert("a", positive("A", 100), 0));
  EXPECT_EQ(held(cache, "a", 99), "A");
  EXPECT_EQ(held(cache, "a", 100), "-");
  EXPECT_EQ(cache.size(), 1u) << "an expired entry not in the way stays";
}

TEST(ResolverCache, EvictsExpiredInInsertionOrderThenOldest) {
  ResolverCache cache(3);
  ASSERT_TRUE(cache.insert("a", positive("A", 1000), 0));
  ASSERT_TRUE(cache.insert("b", positive("B", 10), 0));
  ASSERT_TRUE(cache.insert("c", positive("C", 1000), 0));
  // Full at t=50: b has expired and goes, the older a stays.
  ASSERT_TRUE(cache.insert("d", positive("D", 1000), 50));
  EXPECT_EQ(
      held(cache, "a", 50) + held(cache, "b", 0) + held(cache, "c", 50) + held(cache, "d", 50),
      "A-CD");
  // Full, nothing expired: the oldest (a) goes.
  ASSERT_TRUE(cache.insert("e", positive("E", 1000), 50));
  EXPECT_EQ(
      held(cache, "a", 50) + held(cache, "c", 50) + held(cache, "d", 50) + held(cache, "e", 50),
      "-CDE");
  EXPECT_EQ(cache.size(), 3u);
}

TEST(ResolverCache, ReplacedKeyBecomesNewest) {
  ResolverCache cache(2);
  ASSERT_TRUE(cache.insert("a", positive("A1", 10), 0));
  ASSERT_TRUE(cache.insert("b", positive("B", 1000), 0));
  ASSERT_TRUE(cache.insert("a", positive("A2", 1000), 20));
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(held(cache, "a", 20), "A2");
  ASSERT_TRUE(cache.insert("c", positive("C", 1000), 20));
  EXPECT_EQ(held(cache, "a", 20) + held(cache, "b", 20) + held(cache, "c", 20), "A2-C");
}

TEST(ResolverCache, ZeroCapacityHoldsTheLatestEntryOnly) {
  ResolverCache cache(0);
  ASSERT_TRUE(cache.insert("a", positive("A", 100), 0));
  ASSERT_TRUE(cache.insert("b", positive("B", 100), 0));
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(held(cache, "b", 0), "B");
}

TEST(ResolverCache, AllocationFailureLeavesCacheUsable) {
  ResolverCache cache(2);
  ASSERT_TRUE(cache.insert("a", positive("A", 100), 0));
  const std::string key = "a-rather-long-key-that-allocates";
  for (int64_t k = 0;; ++k) {
    CacheEntry entry = positive("B", 100);  // built before the failures are armed
    bool failed;
    {
      ::tollbrook::testing::ScopedAllocationFailure guard(k);
      auto status = cache.insert(key, std::move(entry), 0);
      failed = ::tollbrook::testing::failedAllocations() > 0;
      if (failed) {
        EXPECT_FALSE(status);
        EXPECT_EQ(cache.find(key, 0), nullptr) << "allocation " << k;
      }
    }
    if (!failed) break;
  }
  EXPECT_EQ(held(cache, "a-rather-long-key-that-allocates", 0), "B");
  ASSERT_TRUE(cache.insert("c", positive("C", 100), 0));
  EXPECT_EQ(cache.size(), 2u);
}

}  // namespace
}  // namespace tollbrook
