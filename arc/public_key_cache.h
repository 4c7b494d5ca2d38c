// Decoded public keys of one thread, keyed by the exact p= text of a key record.
// Decoding a key (Base64 plus DER parsing) costs several RSA verifications, and
// the same few keys sign most mail, so validation keeps the decoded form here,
// beside the resolver's TXT cache: one cache per thread, created and dropped
// together with that thread's Resolver. Decoding is deterministic, so a hit
// gives exactly what a fresh decode would; only the repeated work disappears.
// Not thread-safe: owned and used by one thread.
#ifndef TOLLBROOK_ARC_PUBLIC_KEY_CACHE_H_
#define TOLLBROOK_ARC_PUBLIC_KEY_CACHE_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <openssl/evp.h>

#include "base/error.h"
#include "crypto/openssl_owners.h"

namespace tollbrook {

// Base64-decodes a p= value and parses it as a DER SubjectPublicKeyInfo.
// Errors: OutOfMemory, InvalidPadding or InvalidCharacter (Base64),
// KeyParseFailed (not a public key). The caller owns the key.
[[nodiscard]] Result<EvpPkeyPtr> decodePublicKey(std::string_view pValue);

class PublicKeyCache {
  // Lets a lookup hash the p= view without copying it.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

 public:
  static constexpr size_t kDefaultCapacity = 100;

  // capacity 0 keeps only the key of the latest call. Does not allocate.
  explicit PublicKeyCache(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // The decoded key of `pValue`, decoding it on a miss (errors as for
  // decodePublicKey; failures are not remembered). The key stays owned by the
  // cache and is valid until the next call on this cache.
  [[nodiscard]] Result<EVP_PKEY*> find(std::string_view pValue);

  size_t size() const { return keys_.size(); }
  void clear();

 private:
  // Stores a decoded key, evicting the oldest entry when full. May throw
  // std::bad_alloc before anything changed.
  EVP_PKEY* remember(std::string_view pValue, EvpPkeyPtr key);

  size_t capacity_;
  std::unordered_map<std::string, EvpPkeyPtr, TextHash, std::equal_to<>> keys_;
  // p= texts in insertion order, as a ring once full: order_[oldest_] goes next.
  std::vector<std::string> order_;
  size_t oldest_ = 0;
  EvpPkeyPtr uncached_;  // the latest key when capacity is 0
};

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_PUBLIC_KEY_CACHE_H_
