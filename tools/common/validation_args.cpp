#include "tools/common/validation_args.h"

#include <limits>

#include "core/number_syntax.h"

namespace tollbrook::tools {
namespace {

constexpr uint32_t kLowestMinimumKeyBits = 1024;

}  // namespace

bool isValidationOption(std::string_view arg) {
  return arg == "-n" || arg == "-p" || arg == "-b" || arg == "-r" || arg == "-m";
}

std::optional<std::string> applyValidationOption(ValidationArgs& args, char option,
                                                 std::string_view value) {
  switch (option) {
    case 'n':
      args.nameserver = value;
      return std::nullopt;
    case 'p': {
      std::optional<uint64_t> port = parseUnsignedNumber(value, 65535);
      if (!port) return "-p must be a port number";
      args.port = static_cast<uint16_t>(*port);
      return std::nullopt;
    }
    case 'b': {
      std::optional<uint64_t> bits =
          parseUnsignedNumber(value, std::numeric_limits<uint32_t>::max());
      if (!bits) return "-b must be a number";
      args.minimumKeyBits =
          *bits < kLowestMinimumKeyBits ? kLowestMinimumKeyBits : static_cast<uint32_t>(*bits);
      return std::nullopt;
    }
    case 'r': {
      std::optional<uint64_t> count = parseUnsignedNumber(value, 255);
      if (!count) return "-r must be a number";
      if (*count == 0) return "-r must be at least 1";
      args.maxKeyRecords = static_cast<uint8_t>(*count);
      return std::nullopt;
    }
    case 'm': {
      std::optional<int64_t> ms = parseSignedNumber(value);
      if (!ms) return "-m must be a number of milliseconds";
      if (*ms < 0) return "-m must be 0 (disabled) or a positive number of milliseconds";
      args.maxEvaluationMs = *ms;
      return std::nullopt;
    }
    default:
      return "invalid arguments";
  }
}

ValidationOptions validationOptions(const ValidationArgs& args, ValidationContext& context) {
  ValidationOptions options = context.options();
  options.maxEvaluationMs = args.maxEvaluationMs;
  options.minimumKeyBits = args.minimumKeyBits;
  options.maxKeyRecords = args.maxKeyRecords;
  return options;
}

}  // namespace tollbrook::tools
