// The command line of tollbrook-seal: its options with their defaults, the
// usage text, and the reading of the arguments left to right. Main thread.
#ifndef TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_
#define TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

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
  std::string nameserver = "127.0.0.1";
  uint16_t port = 53;
  uint32_t minimumKeyBits = 1024;
  uint8_t maxKeyRecords = 3;
  int64_t maxEvaluationMs = 20000;
};

// What the command line asks for: the usage text, a run, or an error message.
struct ShowSealUsage {};
struct SealOptionError {
  std::string message;
};
using SealCommand = std::variant<ShowSealUsage, SealOptions, SealOptionError>;

SealCommand parseSealArguments(int argc, char** argv);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_SEAL_SEAL_OPTIONS_H_
