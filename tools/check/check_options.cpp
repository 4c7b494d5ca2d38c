#include "tools/check/check_options.h"

#include <optional>

namespace tollbrook::tools {

const std::string_view kCheckUsage =
    "Usage: tollbrook-check [options] <message-file>\n"
    "\n"
    "Validate the ARC chain of an RFC 5322 message and print the chain\n"
    "validation value: none, pass or fail.\n"
    "\n"
    "Options:\n"
    "  -f <file>        Message file (may also be given positionally)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -b <bits>        Minimum RSA key bits accepted (default: 1024)\n"
    "  -r <count>       Key records to try at one selector (default: 3, max 8)\n"
    "  -m <ms>          Wall-clock budget for the whole validation (default:\n"
    "                   20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  -v               Verbose: also print the failure reason and instance count\n"
    "  -h               Show this help\n"
    "\n"
    "Exit status is 0 whenever a verdict was reached, including \"fail\" \xE2\x80\x94 the\n"
    "verdict goes to stdout. A non-zero status means the tool could not run.\n";

namespace {

bool takesValue(std::string_view arg) {
  return arg == "-f" || isValidationOption(arg);
}

// Applies the value of one value-taking option; an error message on failure.
std::optional<std::string> applyValue(CheckOptions& options, char option, std::string_view value) {
  if (option != 'f') return applyValidationOption(options.validation, option, value);
  options.messageFile = value;
  return std::nullopt;
}

}  // namespace

CheckCommand parseCheckArguments(int argc, char** argv) {
  CheckOptions options;
  Arguments args(argc, argv);
  while (!args.done()) {
    std::string_view arg = args.take();
    if (arg == "-h" || arg == "--help") return ShowUsage{};
    if (arg == "-v") {
      options.verbose = true;
    } else if (takesValue(arg)) {
      std::optional<std::string_view> value = args.takeValue();
      if (!value) return OptionError{missingArgumentMessage(arg)};
      if (auto error = applyValue(options, arg[1], *value)) return OptionError{*error};
    } else if (arg.starts_with('-')) {
      return OptionError{"unknown option (use -h for help)"};
    } else {
      options.messageFile = arg;
    }
  }
  if (!options.messageFile) {
    return OptionError{"a message file is required (use -h for help)"};
  }
  return options;
}

}  // namespace tollbrook::tools
