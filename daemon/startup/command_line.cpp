#include "daemon/startup/command_line.h"

#include "core/log.h"

namespace tollbrook {

Result<std::string_view> configPathFromArguments(std::span<const char* const> arguments) {
  // There is no default path: a daemon started without naming its file would
  // otherwise run on settings nobody chose.
  if (arguments.size() < 2 || std::string_view(arguments[0]) != "-c") {
    logMessage(Severity::Err, kDaemonUsage);
    return fail(Error::InvalidArgument);
  }
  return std::string_view(arguments[1]);
}

}  // namespace tollbrook
