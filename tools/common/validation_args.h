// The options tollbrook-check and tollbrook-seal both take for validating a
// chain: the one nameserver to ask (-n, -p) and the limits of the validation
// (-b, -r, -m), with the daemon's defaults, and the reading of their values.
// Main thread.
#ifndef TOLLBROOK_TOOLS_COMMON_VALIDATION_ARGS_H_
#define TOLLBROOK_TOOLS_COMMON_VALIDATION_ARGS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "arc/validate_chain.h"
#include "arc/validation_context.h"

namespace tollbrook::tools {

struct ValidationArgs {
  std::string nameserver = "127.0.0.1";
  uint16_t port = 53;
  uint32_t minimumKeyBits = 1024;  // a lower -b is raised to 1024
  uint8_t maxKeyRecords = 3;
  int64_t maxEvaluationMs = kDefaultMaxEvaluationMs;  // 0: no budget
};

// True for "-n", "-p", "-b", "-r" and "-m".
bool isValidationOption(std::string_view arg);

// Applies the value of one of those options, named by its letter; the message
// to show when the value is refused ("-p must be a port number", ...).
std::optional<std::string> applyValidationOption(ValidationArgs& args, char option,
                                                 std::string_view value);

// The validation settings for `args`, asking through `context`; the result
// refers into the context.
ValidationOptions validationOptions(const ValidationArgs& args, ValidationContext& context);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_COMMON_VALIDATION_ARGS_H_
