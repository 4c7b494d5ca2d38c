// The command line of tollbrook-check: its options with their defaults, the
// usage text, and the reading of the arguments left to right. Main thread.
#ifndef TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_
#define TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tollbrook::tools {

inline constexpr std::string_view kCheckToolName = "tollbrook-check";

extern const std::string_view kCheckUsage;

struct CheckOptions {
  std::optional<std::string> messageFile;  // an empty name is still a name
  std::string nameserver = "127.0.0.1";
  uint16_t port = 53;
  uint32_t minimumKeyBits = 1024;
  uint8_t maxKeyRecords = 3;
  int64_t maxEvaluationMs = 20000;
  bool verbose = false;
};

// What the command line asks for: the usage text, a run, or an error message.
struct ShowUsage {};
struct OptionError {
  std::string message;
};
using CheckCommand = std::variant<ShowUsage, CheckOptions, OptionError>;

CheckCommand parseCheckArguments(int argc, char** argv);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_CHECK_CHECK_OPTIONS_H_
