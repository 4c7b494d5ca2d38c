#include "arc/validation_context.h"

#include <utility>

namespace tollbrook {

std::expected<ValidationContext, std::string_view> ValidationContext::create(
    const ResolverSettings& settings) {
  std::expected<Resolver, std::string_view> resolver = Resolver::create(settings);
  if (!resolver) return std::unexpected(resolver.error());
  return ValidationContext(std::move(*resolver));
}

}  // namespace tollbrook
