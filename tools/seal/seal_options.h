// The command line of tollbrook-seal: its options with their defaults, the
// usage text, and the reading of the arguments left to right. Main thread.
#ifndef TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_
#define TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/common/tool_support.h"
#include "tools/common/validation_args.h"

namespace tollbrook::tools {

inline constexpr std::string_view kSealToolName = "tollbrook-seal";

// The authserv-id used when -a is not given: a placeholder under the reserved
// .test domain, so that it can never be a real host's id.
inline constexpr std::string_view kPlaceholderAuthservId = "authserv.tollbrook.test";

extern const std::string_view kSealUsage;

struct SealOptions {
  std::optional<std::string> messageFile;  // the last positional argument
  std::optional<std::string> domain, selector, keyFile;
  std::string authservId{kPlaceholderAuthservId};
  std::string signedHeaders = "from:to:subject:date:message-id";
  std::string methods;                // comma-separated local methods
  std::optional<uint64_t> timestamp;  // -t; now when absent
  ValidationArgs validation;          // -n, -p, -b, -r, -m: for the existing chain
};

using SealCommand = ToolCommand<SealOptions>;

SealCommand parseSealArguments(int argc, char** argv);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_
