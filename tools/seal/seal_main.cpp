// tollbrook-seal: seals one message file with the daemon's code and prints the
// three header fields of the new ARC set. The chain already on the message is
// validated first, because the cv= it seals is a statement about that chain.
// Single-threaded.
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "arc/aar.h"
#include "arc/arc_set.h"
#include "arc/arc_set_builder.h"
#include "arc/seal_decision.h"
#include "arc/validate_chain.h"
#include "arc/validation_context.h"
#include "core/log.h"
#include "core/message.h"
#include "crypto/private_key.h"
#include "tools/common/tool_resolver.h"
#include "tools/common/tool_support.h"
#include "tools/common/validation_args.h"
#include "tools/seal/seal_connection.h"
#include "tools/seal/seal_options.h"

namespace tollbrook::tools {
namespace {

constexpr int kExitSealFailed = 1;

[[noreturn]] void cannotRun(std::string_view message) {
  exitWithError(kSealToolName, message);
}

Message readMessage(const std::string& path) {
  Result<Message> message = readMessageFile(path);
  if (message) return std::move(*message);
  if (message.error() == Error::OutOfMemory) cannotRun("out of memory parsing the message");
  cannotRun("cannot read the message file");
}

PrivateKey loadKey(const std::string& path) {
  Result<PrivateKey> key = loadPrivateKey(path);
  if (key) return std::move(*key);
  if (key.error() == Error::KeyFilePermissionsTooOpen) {
    cannotRun("the RSA private key is readable beyond its owner; chmod 600 it");
  }
  cannotRun("cannot load the RSA private key");
}

// The existing chain as far as its structure allows: the sets, or none with
// `broken` set when a structural rule fails.
struct ExistingChain {
  std::vector<ArcSet> sets;
  bool broken = false;
};

ExistingChain collectChain(const Message& message) {
  Result<std::vector<ArcSet>> sets = collectArcSets(message.headers);
  if (sets) return ExistingChain{std::move(*sets), false};
  if (sets.error() == Error::OutOfMemory) cannotRun("out of memory parsing ARC sets");
  return ExistingChain{{}, true};
}

// Without an On-DNSError policy, a chain that cannot be judged now ends the run.
[[noreturn]] void cannotJudge(FailureClass failureClass) {
  switch (failureClass) {
    case FailureClass::DnsTransient:
      cannotRun(
          "cannot determine cv=: transient DNS failure while validating the existing chain "
          "(sealing cv=fail would be permanent)");
    case FailureClass::Deadline:
      cannotRun(
          "cannot determine cv=: evaluation deadline exceeded while validating the existing "
          "chain (sealing cv=fail would be permanent)");
    case FailureClass::None:
    case FailureClass::Internal:
      break;
  }
  cannotRun("cannot determine cv=: internal error validating the chain");
}

// The cv to seal. A structurally broken chain is sealed as failed, the new
// set standing alone at instance 1.
Cv decideCv(const SealOptions& options, const ExistingChain& chain, const Message& message,
            ValidationContext& context) {
  if (chain.broken) return Cv::Fail;
  if (chain.sets.empty()) return Cv::None;
  ChainResult result = validateChain(validationOptions(options.validation, context), chain.sets,
                                     message.headers, message.body);
  std::expected<Cv, FailureClass> cv = sealableCv(result);
  if (!cv) cannotJudge(cv.error());
  return *cv;
}

// The refusal names the limits the connection was loaded under.
std::string headerLimitsMessage() {
  return "the header block exceeds the daemon's limits (MaxHeaders=" +
         std::to_string(kDefaultMessageLimits.maxHeaders) +
         ", MaxHeaderBytes=" + std::to_string(kDefaultMessageLimits.maxHeaderBytes) +
         "); the daemon would not seal this message";
}

std::unique_ptr<MilterConnection> loadConnection(const Message& message) {
  auto connection = loadMessageConnection(message);
  if (connection) return std::move(*connection);
  switch (connection.error()) {
    case ConnectionFailure::NoPipe:
      cannotRun("cannot create a pipe");
    case ConnectionFailure::HeaderLimits:
      cannotRun(headerLimitsMessage());
    case ConnectionFailure::OutOfMemory:
      break;
  }
  cannotRun("out of memory building the connection");
}

void printSet(const ArcSetValues& set) {
  std::string text = "ARC-Authentication-Results: " + set.aar + "\n\nARC-Seal: " + set.seal +
                     "\n\nARC-Message-Signature: " + set.ams + "\n";
  writeStandardOutputOrExit(kSealToolName, text);
}

int seal(const SealOptions& options) {
  Message message = readMessage(*options.messageFile);
  Result<std::vector<std::string_view>> methods = parseLocalMethods(options.methods);
  if (!methods) cannotRun("out of memory");
  PrivateKey key = loadKey(*options.keyFile);
  ExistingChain chain = collectChain(message);
  std::expected<uint8_t, ContinuationRefusal> instance = nextSealInstance(chain.sets);
  if (!instance) {
    // A chain that a seal already declared failed is never continued, and
    // there is nothing to print.
    if (instance.error() == ContinuationRefusal::FailedChain) return 0;
    cannotRun("the chain is already at the maximum instance");
  }
  ValidationContext context =
      oneServerContext(kSealToolName, options.validation.nameserver, options.validation.port);
  Cv cv = decideCv(options, chain, message, context);
  std::unique_ptr<MilterConnection> connection = loadConnection(message);

  SealRequest request;
  request.domain = *options.domain;
  request.selector = *options.selector;
  request.signedHeaders = options.signedHeaders;
  request.authservId = options.authservId;
  request.localMethods = *methods;
  request.key = &key;
  request.sets = chain.sets;
  request.timestamp = options.timestamp.value_or(sealTimestampNow());
  request.instance = *instance;
  request.cv = cv;
  const MilterMessage& held = connection->message;
  MessageToSeal copy{held.headers, held.body, held.bodyIncomplete};
  SealResult<ArcSetValues> set = buildArcSet(copy, request);
  if (!set) {
    StderrWriter err;
    err.write("tollbrook-seal: sealing failed: ");
    err.write(failedStepName(set.error()));
    err.write("\n");
    return kExitSealFailed;
  }
  printSet(*set);
  return 0;
}

int run(int argc, char** argv) {
  ignoreSigpipe();
  useStderrLogging(kSealToolName);
  SealCommand command = parseSealArguments(argc, argv);
  if (const OptionError* error = std::get_if<OptionError>(&command)) {
    cannotRun(error->message);
  }
  if (std::holds_alternative<ShowUsage>(command)) {
    writeStandardOutputOrExit(kSealToolName, kSealUsage);
    return 0;
  }
  return seal(std::get<SealOptions>(command));
}

}  // namespace
}  // namespace tollbrook::tools

int main(int argc, char** argv) {
  return tollbrook::tools::runTool(tollbrook::tools::kSealToolName, tollbrook::tools::run, argc,
                                   argv);
}
