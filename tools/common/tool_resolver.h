// The DNS set-up a command-line tool makes at start: one nameserver and port
// from its options, the daemon's default query settings, no health monitor;
// either a bare resolver (key lookups) or a validation context (chain
// validation). Owned by the tool's main thread.
#ifndef TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_
#define TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_

#include <cstdint>
#include <string_view>

#include "arc/validation_context.h"
#include "dns/resolver.h"

namespace tollbrook::tools {

// These exit through exitWithError(tool, ...) with the resolver's own set-up
// message ("DNS resolver: invalid nameserver address", ...) on failure.
Resolver oneServerResolver(std::string_view tool, std::string_view nameserver, uint16_t port);
ValidationContext oneServerContext(std::string_view tool, std::string_view nameserver,
                                   uint16_t port);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_COMMON_TOOL_RESOLVER_H_
