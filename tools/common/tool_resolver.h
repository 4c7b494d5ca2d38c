// The resolver a command-line tool builds at start: one nameserver and port
// from its options, the daemon's default query settings, no health monitor.
// Owned by the tool's main thread.
#ifndef TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_
#define TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_

#include <cstdint>
#include <string_view>

#include "dns/resolver.h"

namespace tollbrook::tools {

// Exits through exitWithError(tool, ...) with the resolver's own set-up
// message ("DNS resolver: invalid nameserver address", ...) on failure.
Resolver oneServerResolver(std::string_view tool, std::string_view nameserver, uint16_t port);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_
