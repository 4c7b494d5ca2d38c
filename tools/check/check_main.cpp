// tollbrook-check: validates the ARC chain of one message file with the
// daemon's validation and prints the chain validation value. Single-threaded.
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "arc/arc_set.h"
#include "arc/validate_chain.h"
#include "arc/validation_context.h"
#include "core/message.h"
#include "tools/check/check_options.h"
#include "tools/check/check_verdict.h"
#include "tools/common/tool_resolver.h"
#include "tools/common/tool_support.h"
#include "tools/common/validation_args.h"

namespace tollbrook::tools {
namespace {

[[noreturn]] void cannotRun(std::string_view message) {
  exitWithError(kCheckToolName, message);
}

Message readMessage(const std::string& path) {
  Result<Message> message = readMessageFile(path);
  if (message) return std::move(*message);
  if (message.error() == Error::OutOfMemory) cannotRun("out of memory parsing message");
  std::string text = "cannot read " + path + ": ";
  text.append(errorName(message.error()));
  cannotRun(text);
}

// The validator's own copy of the field list, so it never depends on how the
// reader stores its fields.
std::vector<HeaderField> validatorHeaders(const Message& message) {
  try {
    return std::vector<HeaderField>(message.headers.begin(), message.headers.end());
  } catch (const std::bad_alloc&) {
    cannotRun("out of memory converting headers");
  }
}

// A verdict that cannot be written must not end with status 0.
void print(std::string_view text) {
  writeStandardOutputOrExit(kCheckToolName, text);
}

VerdictLine checkMessage(const CheckOptions& options) {
  Message message = readMessage(*options.messageFile);
  std::vector<HeaderField> headers = validatorHeaders(message);
  ValidationContext context =
      oneServerContext(kCheckToolName, options.validation.nameserver, options.validation.port);
  Result<std::vector<ArcSet>> sets = collectArcSets(headers);
  if (!sets) {
    if (sets.error() == Error::OutOfMemory) cannotRun("out of memory parsing ARC sets");
    return VerdictLine::brokenChain(sets.error(), options.verbose);
  }
  if (sets->empty()) return VerdictLine::none();
  ChainResult result =
      validateChain(validationOptions(options.validation, context), *sets, headers, message.body);
  return VerdictLine::validated(result, options.verbose);
}

int run(int argc, char** argv) {
  ignoreSigpipe();
  useStderrLogging(kCheckToolName);
  CheckCommand command = parseCheckArguments(argc, argv);
  if (const OptionError* error = std::get_if<OptionError>(&command)) cannotRun(error->message);
  if (std::holds_alternative<ShowUsage>(command)) {
    print(kCheckUsage);
    return 0;
  }
  print(checkMessage(std::get<CheckOptions>(command)).text());
  return 0;
}

}  // namespace
}  // namespace tollbrook::tools

int main(int argc, char** argv) {
  return tollbrook::tools::runTool(tollbrook::tools::kCheckToolName, tollbrook::tools::run, argc,
                                   argv);
}
