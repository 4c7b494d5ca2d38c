#include "daemon/handling/end_of_message.h"

#include <new>
#include <utility>

#include "arc/validate_chain.h"
#include "core/log.h"
#include "daemon/handling/decisions.h"
#include "daemon/handling/forged_results.h"
#include "daemon/handling/job_steps.h"
#include "daemon/handling/message_job.h"
#include "daemon/handling/result_line.h"
#include "daemon/milter/body_handler.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

char eomSlot(void* context, MilterConnection& connection) {
  return static_cast<WorkerHandling*>(context)->endOfMessage(connection);
}

void headerLimitSlot(void* context, MilterConnection& connection) {
  static_cast<WorkerHandling*>(context)->headerLimitTempfail(connection);
}

void publishSlot(void* context, EventAction action, EventResult result, uint8_t instance) {
  static_cast<EventPublisher*>(context)->publish(action, result, instance);
}

}  // namespace

Result<std::unique_ptr<WorkerHandling>> WorkerHandling::create(HandlingStartup startup,
                                                               SettingsSource source) {
  try {
    return std::unique_ptr<WorkerHandling>(
        new WorkerHandling(std::move(startup), std::move(source)));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

WorkerHandling::WorkerHandling(HandlingStartup startup, SettingsSource source)
    : startup_(std::move(startup)), source_(source) {}

void WorkerHandling::beginPass() {
  config_ = source_.config != nullptr ? source_.config(source_.context) : nullptr;
  identity_ = source_.identity != nullptr ? source_.identity(source_.context) : nullptr;
}

void WorkerHandling::onReloadAcknowledged() {
  validation_.reset();
  logMessage(Severity::Debug, "worker: config reload acknowledged");
}

void WorkerHandling::reloadHook(void* context) {
  static_cast<WorkerHandling*>(context)->onReloadAcknowledged();
}

void WorkerHandling::installHandlers(MilterHandlers& handlers) {
  handlers.context = this;
  handlers.body = handleBodyChunkSlot;
  handlers.eom = eomSlot;
  handlers.headerLimitTempfail = headerLimitSlot;
}

ListenerMode WorkerHandling::modeOf(const MilterConnection& connection) const {
  const std::vector<ListenerMode>& modes = startup_.listenerModes;
  if (connection.listenerIndex < modes.size()) return modes[connection.listenerIndex];
  logMessage(Severity::Err, "listener index ", connection.listenerIndex,
             " has no configured mode (", modes.size(), " known): falling back to verify");
  return ListenerMode::Verify;
}

char WorkerHandling::endOfMessage(MilterConnection& connection) {
  const int64_t start = startup_.clock();
  const ListenerMode mode = modeOf(connection);
  const char reply = handle(connection, mode);
  logResultLine(connection, mode, startup_.clock() - start);
  return reply;
}

void WorkerHandling::headerLimitTempfail(MilterConnection& connection) {
  logResultLine(connection, modeOf(connection), 0);
}

char WorkerHandling::handle(MilterConnection& connection, ListenerMode mode) {
  if (config_ == nullptr) {
    // Start-up publishes a snapshot before any worker runs; without one there
    // is not even an authserv-id to record a verdict under.
    logMessage(Severity::Err, "deferring: no configuration has been published to this worker");
    return kReplyTempfail;
  }
  const RuntimeConfig& config = *config_;
  if (mode != ListenerMode::Seal) {
    // A forged field that stays would be delivered as if we had written it.
    Status removed = removeForgedResults(connection, config.authservId, config.stripAuthResults);
    if (!removed) {
      logVerdictNotRecorded(removed.error());
      return kReplyTempfail;
    }
  }
  publisher_.setUp(startup_.zmqEndpoint, startup_.zmqTopic);  // once per worker
  return decide(connection, mode, config);
}

char WorkerHandling::decide(MilterConnection& connection, ListenerMode mode,
                            const RuntimeConfig& config) {
  MessageJob job{connection, config, identity_,
                 ChainValidator{this,
                                [](void* context, std::span<const ArcSet> sets,
                                   std::span<const HeaderField> headers, std::string_view body) {
                                  return static_cast<WorkerHandling*>(context)->validate(
                                      sets, headers, body);
                                }},
                 EventSink{&publisher_, publishSlot}};
  if ((connection.negotiatedActions & kSmfifAddHdrs) == 0) {
    // Nothing can be added to the message: the verdict is worked out for the
    // reply it decides, but neither recorded nor announced, and no set made.
    logMessage(Severity::Err,
               "cannot record the arc result or add an ARC set: MTA did not grant SMFIF_ADDHDRS");
    job.canRecord = false;
    return verifyMessage(job);
  }
  switch (mode) {
    case ListenerMode::Seal:
      return decideSeal(job);
    case ListenerMode::Both:
      return decideBoth(job);
    case ListenerMode::Verify:
      break;
  }
  return verifyMessage(job);
}

std::optional<ChainResult> WorkerHandling::ensureValidationContext(uint8_t instance) {
  if (validation_) return std::nullopt;
  Result<ResolverSettings> settings = config_->resolverSettings();
  if (!settings) {
    return chainTemporaryFailure("out of memory preparing the resolver", instance,
                                 FailureClass::Internal);
  }
  auto context = ValidationContext::create(*settings);
  if (!context) return chainTemporaryFailure(context.error(), instance, FailureClass::Internal);
  validation_.emplace(std::move(*context));
  return std::nullopt;
}

ChainResult WorkerHandling::validate(std::span<const ArcSet> sets,
                                     std::span<const HeaderField> headers, std::string_view body) {
  if (std::optional<ChainResult> failed = ensureValidationContext(sets.back().instance)) {
    return *failed;
  }
  ValidationOptions options = validation_->options();
  const ValidationLimits limits = config_->validationLimits();
  options.maxEvaluationMs = limits.maxEvaluationMs;
  options.minimumKeyBits = limits.minimumKeyBits;
  options.maxKeyRecords = limits.maxKeyRecords;
  // A plain function or a small lambda: held inside the std::function, no
  // allocation per message.
  options.clock = startup_.clock;
  return validateChain(options, sets, headers, body);
}

}  // namespace tollbrook
