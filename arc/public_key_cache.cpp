#include "arc/public_key_cache.h"

#include <new>
#include <utility>

#include <openssl/x509.h>

#include "core/base64.h"

namespace tollbrook {

Result<EvpPkeyPtr> decodePublicKey(std::string_view pValue) {
  Result<std::string> der = base64Decode(pValue);
  if (!der) return fail(der.error());
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der->data());
  EvpPkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der->size())));
  if (!key) return fail(Error::KeyParseFailed);
  return key;
}

Result<EVP_PKEY*> PublicKeyCache::find(std::string_view pValue) {
  try {
    if (auto hit = keys_.find(pValue); hit != keys_.end()) return hit->second.get();
    Result<EvpPkeyPtr> decoded = decodePublicKey(pValue);
    if (!decoded) return fail(decoded.error());
    if (capacity_ == 0) {
      uncached_ = std::move(*decoded);
      return uncached_.get();
    }
    return remember(pValue, std::move(*decoded));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

EVP_PKEY* PublicKeyCache::remember(std::string_view pValue, EvpPkeyPtr key) {
  // Reserve first, so that a failure below leaves the cache as it was.
  if (order_.capacity() < capacity_) order_.reserve(capacity_);
  keys_.reserve(keys_.size() + 1);
  std::string text(pValue);
  auto [slot, inserted] = keys_.emplace(text, std::move(key));
  if (order_.size() < capacity_) {
    order_.push_back(std::move(text));
  } else {
    keys_.erase(order_[oldest_]);
    order_[oldest_] = std::move(text);
    oldest_ = (oldest_ + 1) % capacity_;
  }
  return slot->second.get();
}

void PublicKeyCache::clear() {
  keys_.clear();
  order_.clear();
  oldest_ = 0;
  uncached_.reset();
}

}  // namespace tollbrook
