#include "tools/seal/seal_options.h"

#include <limits>

#include "core/number_syntax.h"

namespace tollbrook::tools {

const std::string_view kSealUsage =
    "Usage: tollbrook-seal [options] <message-file>\n"
    "\n"
    "Seal a message with the same code path the milter uses, and print the three\n"
    "header fields of the new ARC set to stdout, separated by blank lines:\n"
    "\n"
    "  ARC-Authentication-Results: ...\n"
    "\n"
    "  ARC-Seal: ...\n"
    "\n"
    "  ARC-Message-Signature: ...\n"
    "\n"
    "Required:\n"
    "  -d <domain>        Signing domain (d=)\n"
    "  -s <selector>      Selector (s=)\n"
    "  -k <file>          RSA private key, PEM\n"
    "\n"
    "Options:\n"
    "  -a <authserv-id>   authserv-id for the AAR, and the id whose\n"
    "                     Authentication-Results this host will vouch for\n"
    "  --headers <list>   Colon-separated h= list for the AMS\n"
    "                     (default: from:to:subject:date:message-id)\n"
    "  --methods <list>   Comma-separated local authentication methods this host\n"
    "                     performs. Only A-R results whose methods are all listed\n"
    "                     are sealed; anything else is sender-supplied and yields\n"
    "                     an honest \"none\" (RFC 8617 5.1.1)\n"
    "  -t <timestamp>     Signature timestamp for t= (default: now). Fix it to make\n"
    "                     output byte-reproducible\n"
    "  -n <nameserver>    DNS nameserver for validating the existing chain\n"
    "                     (default: 127.0.0.1)\n"
    "  -p <port>          DNS nameserver port (default: 53)\n"
    "  -b <bits>          Minimum RSA key bits accepted when validating (default: 1024)\n"
    "  -r <count>         Key records to try at one selector (default: 3, max 8)\n"
    "  -m <ms>            Wall-clock budget for validating the existing chain\n"
    "                     (default: 20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  -h, --help         Show this help\n"
    "\n"
    "The chain already on the message is validated first, because the cv= this host\n"
    "seals is a statement about it. Exit status is 0 on success, non-zero if no set\n"
    "could be produced.\n";

namespace {

bool takesValue(std::string_view arg) {
  if (isValidationOption(arg)) return true;
  for (std::string_view option : {"-d", "-s", "-k", "-a", "--headers", "--methods", "-t"}) {
    if (arg == option) return true;
  }
  return false;
}

// Applies the value of one value-taking option; an error message on failure.
std::optional<std::string> applyValue(SealOptions& options, std::string_view option,
                                      std::string_view value) {
  if (option == "-d") {
    options.domain = value;
  } else if (option == "-s") {
    options.selector = value;
  } else if (option == "-k") {
    options.keyFile = value;
  } else if (option == "-a") {
    options.authservId = value;
  } else if (option == "--headers") {
    options.signedHeaders = value;
  } else if (option == "--methods") {
    options.methods = value;
  } else if (option == "-t") {
    std::optional<uint64_t> t = parseUnsignedNumber(value, std::numeric_limits<uint64_t>::max());
    if (!t) return "-t must be a number";
    options.timestamp = *t;
  } else {
    return applyValidationOption(options.validation, option[1], value);
  }
  return std::nullopt;
}

std::optional<std::string> missingRequired(const SealOptions& options) {
  if (!options.messageFile) return "a message file is required (use -h for help)";
  if (!options.domain) return "-d <domain> is required";
  if (!options.selector) return "-s <selector> is required";
  if (!options.keyFile) return "-k <keyfile> is required";
  return std::nullopt;
}

}  // namespace

SealCommand parseSealArguments(int argc, char** argv) {
  SealOptions options;
  Arguments args(argc, argv);
  while (!args.done()) {
    std::string_view arg = args.take();
    if (arg == "-h" || arg == "--help") return ShowUsage{};
    if (takesValue(arg)) {
      std::optional<std::string_view> value = args.takeValue();
      if (!value) return OptionError{std::string(arg) + " needs a value"};
      if (auto error = applyValue(options, arg, *value)) return OptionError{*error};
    } else if (arg.starts_with('-')) {
      return OptionError{"unknown option (use -h for help)"};
    } else {
      options.messageFile = arg;
    }
  }
  if (auto error = missingRequired(options)) return OptionError{*error};
  return options;
}

}  // namespace tollbrook::tools
