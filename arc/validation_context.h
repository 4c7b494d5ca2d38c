// What one thread validates chains with: its own Resolver (with the TXT cache)
// and its own PublicKeyCache of decoded keys. Held together so that they are
// made and dropped together: a daemon worker keeps one and drops it whole when
// the configuration changes, so no cache outlives the settings it was filled
// under. Owned by one thread and never shared; nothing in it takes a lock.
#ifndef TOLLBROOK_ARC_VALIDATION_CONTEXT_H_
#define TOLLBROOK_ARC_VALIDATION_CONTEXT_H_

#include <expected>
#include <string_view>

#include "arc/public_key_cache.h"
#include "arc/validate_chain.h"
#include "dns/resolver.h"

namespace tollbrook {

class ValidationContext {
 public:
  // Fails with the resolver's set-up text (kResolverInvalidAddress, ...).
  [[nodiscard]] static std::expected<ValidationContext, std::string_view> create(
      const ResolverSettings& settings);

  ValidationContext(ValidationContext&&) noexcept = default;
  ValidationContext& operator=(ValidationContext&&) noexcept = default;
  ValidationContext(const ValidationContext&) = delete;
  ValidationContext& operator=(const ValidationContext&) = delete;

  // The default validation limits, asking this context's resolver and key
  // cache; the caller adjusts the limits. The options refer into the context:
  // they are valid while it stays where it is.
  ValidationOptions options() { return ValidationOptions{resolver_, keys_}; }

  Resolver& resolver() { return resolver_; }
  PublicKeyCache& keys() { return keys_; }

 private:
  explicit ValidationContext(Resolver resolver) : resolver_(std::move(resolver)) {}

  Resolver resolver_;
  PublicKeyCache keys_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_VALIDATION_CONTEXT_H_
