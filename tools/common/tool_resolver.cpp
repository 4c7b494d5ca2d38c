#include "tools/common/tool_resolver.h"

#include <new>
#include <string>

#include "tools/common/tool_support.h"

namespace tollbrook::tools {

Resolver oneServerResolver(std::string_view tool, std::string_view nameserver, uint16_t port) {
  ResolverSettings settings;
  try {
    settings.nameservers.emplace_back(nameserver);
  } catch (const std::bad_alloc&) {
    exitWithError(tool, kResolverAllocList);
  }
  settings.port = port;
  std::expected<Resolver, std::string_view> resolver = Resolver::create(settings);
  if (!resolver) exitWithError(tool, resolver.error());
  return std::move(*resolver);
}

}  // namespace tollbrook::tools
