// The command line of tollbrook-check: its options with their defaults, the
// usage text, and the reading of the arguments left to right. Main thread.
#ifndef TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_
#define TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_

#include <optional>
#include <string>
#include <string_view>

#include "tools/common/tool_support.h"
#include "tools/common/validation_args.h"

namespace tollbrook::tools {

inline constexpr std::string_view kCheckToolName = "tollbrook-check";

extern const std::string_view kCheckUsage;

struct CheckOptions {
  std::optional<std::string> messageFile;  // an empty name is still a name
  ValidationArgs validation;               // -n, -p, -b, -r, -m
  bool verbose = false;
};

using CheckCommand = ToolCommand<CheckOptions>;

CheckCommand parseCheckArguments(int argc, char** argv);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_
