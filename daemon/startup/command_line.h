// The daemon's command line: "tollbrook -c <config-file>". Main thread, at
// entry; the path returned is a view into argv, which lives as long as the
// process.
#ifndef TOLLBROOK_DAEMON_STARTUP_COMMAND_LINE_H_
#define TOLLBROOK_DAEMON_STARTUP_COMMAND_LINE_H_

#include <span>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

inline constexpr std::string_view kDaemonUsage = "usage: tollbrook -c <config-file>";

// The configuration path: the first argument must be exactly "-c" and a
// second must follow; any further arguments are ignored. Anything else logs
// the usage line at err and fails with InvalidArgument. `arguments` excludes
// the program name.
[[nodiscard]] Result<std::string_view> configPathFromArguments(
    std::span<const char* const> arguments);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_COMMAND_LINE_H_
