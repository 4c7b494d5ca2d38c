// tollbrook-seal: seals one message file with the daemon's code and prints the
// three header fields of the new ARC set. The chain already on the message is
// validated first, because the cv= it seals is a statement about that chain.
// Single-threaded.
#include <time.h>

#include <new>
#include <string>
#include <variant>
#include <vector>

#include "arc/aar.h"
#include "arc/arc_set.h"
#include "arc/arc_set_builder.h"
#include "arc/public_key_cache.h"
#include "arc/validate_chain.h"
#include "core/log.h"
#include "core/message.h"
#include "crypto/private_key.h"
#include "dns/resolver.h"
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

bool carriesFailedSeal(const ExistingChain& chain) {
  for (const ArcSet& set : chain.sets) {
    if (set.sealCv == Cv::Fail) return true;
  }
  return false;
}

// The cv to seal. A chain that could not be judged now is never sealed as
// failed: that would be a permanent statement about a temporary condition.
Cv decideCv(const SealOptions& options, const ExistingChain& chain, const Message& message,
            Resolver& resolver) {
  if (chain.broken) return Cv::Fail;
  if (chain.sets.empty()) return Cv::None;
  PublicKeyCache keys;
  ChainResult result = validateChain(validationOptions(options.validation, resolver, keys),
                                     chain.sets, message.headers, message.body);
  switch (result.failureClass) {
    case FailureClass::None:
      return result.cv;
    case FailureClass::DnsTransient:
      cannotRun(
          "cannot determine cv=: transient DNS failure while validating the existing chain "
          "(sealing cv=fail would be permanent)");
    case FailureClass::Internal:
      cannotRun("cannot determine cv=: internal error validating the chain");
    case FailureClass::Deadline:
      cannotRun(
          "cannot determine cv=: evaluation deadline exceeded while validating the existing "
          "chain (sealing cv=fail would be permanent)");
  }
  cannotRun("cannot determine cv=: internal error validating the chain");
}

std::unique_ptr<MilterConnection> loadConnection(const Message& message) {
  auto connection = loadMessageConnection(message);
  if (connection) return std::move(*connection);
  switch (connection.error()) {
    case ConnectionFailure::NoPipe:
      cannotRun("cannot create a pipe");
    case ConnectionFailure::HeaderLimits:
      cannotRun(
          "the header block exceeds the daemon's limits (MaxHeaders=500, "
          "MaxHeaderBytes=1048576); the daemon would not seal this message");
    case ConnectionFailure::OutOfMemory:
      break;
  }
  cannotRun("out of memory building the connection");
}

uint64_t currentSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec);
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
  if (carriesFailedSeal(chain)) return 0;  // a failed chain is never continued
  if (!chain.sets.empty() && chain.sets.back().instance >= kMaxArcInstance) {
    cannotRun("the chain is already at the maximum instance");
  }
  uint32_t instance = chain.sets.empty() ? 1 : chain.sets.back().instance + 1u;
  Resolver resolver =
      oneServerResolver(kSealToolName, options.validation.nameserver, options.validation.port);
  Cv cv = decideCv(options, chain, message, resolver);
  std::unique_ptr<MilterConnection> connection = loadConnection(message);

  SealRequest request;
  request.domain = *options.domain;
  request.selector = *options.selector;
  request.signedHeaders = options.signedHeaders;
  request.authservId = options.authservId;
  request.localMethods = *methods;
  request.key = &key;
  request.sets = chain.sets;
  request.timestamp = options.timestamp.value_or(currentSeconds());
  request.instance = instance;
  request.cv = cv;
  const MilterMessage& held = connection->message;
  MessageToSeal copy{held.headers, held.body, held.bodyIncomplete};
  SealResult<ArcSetValues> set = buildArcSet(copy, request);
  if (!set) {
    StderrWriter err;
    err.write("tollbrook-seal: sealing failed: ");
    err.write(set.error().step.empty() ? seal_step::kFallback : set.error().step);
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
    if (!writeStandardOutput(kSealUsage)) return kExitCannotRun;
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
