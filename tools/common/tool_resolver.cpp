#include "tools/common/tool_resolver.h"

#include <new>
#include <string>

#include "tools/common/tool_support.h"

namespace tollbrook::tools {
namespace {

ResolverSettings oneServerSettings(std::string_view tool, std::string_view nameserver,
                                   uint16_t port) {
  ResolverSettings settings;
  try {
    settings.nameservers.emplace_back(nameserver);
  } catch (const std::bad_alloc&) {
    exitWithError(tool, kResolverAllocList);
  }
  settings.port = port;
  return settings;
}

}  // namespace

Resolver oneServerResolver(std::string_view tool, std::string_view nameserver, uint16_t port) {
  std::expected<Resolver, std::string_view> resolver =
      Resolver::create(oneServerSettings(tool, nameserver, port));
  if (!resolver) exitWithError(tool, resolver.error());
  return std::move(*resolver);
}

ValidationContext oneServerContext(std::string_view tool, std::string_view nameserver,
                                   uint16_t port) {
  std::expected<ValidationContext, std::string_view> context =
      ValidationContext::create(oneServerSettings(tool, nameserver, port));
  if (!context) exitWithError(tool, context.error());
  return std::move(*context);
}

}  // namespace tollbrook::tools
