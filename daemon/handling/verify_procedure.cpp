// The verify procedure: the verdict on the chain, recorded for the MTA and
// announced, and continue.
#include <vector>

#include "core/log.h"
#include "daemon/handling/decisions.h"
#include "daemon/handling/job_steps.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

char recordAndContinue(MessageJob& job, EventResult result, std::string_view reason,
                       uint8_t instance) {
  if (!recordVerdict(job, result, reason, VerdictCopy::QueueOnly)) return kReplyTempfail;
  announce(job, EventAction::Verify, result, instance);
  return kReplyContinue;
}

std::string_view reasonOrUnknown(std::string_view reason) {
  return reason.empty() ? std::string_view("unknown") : reason;
}

char recordOutcome(MessageJob& job, const ChainResult& result) {
  switch (result.failureClass) {
    case FailureClass::None:
      return recordAndContinue(job, verdictOf(result.cv), result.reason, result.instance);
    case FailureClass::Deadline:
      logMessage(Severity::Warning,
                 "ARC chain evaluation deadline exceeded at i=", result.instance);
      [[fallthrough]];
    case FailureClass::DnsTransient:
      return recordAndContinue(job, EventResult::TempError, result.reason, result.instance);
    case FailureClass::Internal:
      break;
  }
  logMessage(Severity::Err,
             "internal error validating ARC chain: ", reasonOrUnknown(result.reason));
  return kReplyTempfail;
}

}  // namespace

char verifyMessage(MessageJob& job) {
  const MilterMessage& message = job.connection.message;
  if (copyIncomplete(message)) {
    return recordAndContinue(job, EventResult::TempError, kMessageTooLarge, 0);
  }
  Result<std::vector<ArcSet>> sets = collectArcSets(message.headers);
  if (!sets) {
    if (sets.error() == Error::OutOfMemory) return kReplyTempfail;
    return recordAndContinue(job, EventResult::Fail, brokenChainReason(sets.error()), 0);
  }
  if (sets->empty()) return recordAndContinue(job, EventResult::None, {}, 0);
  return recordOutcome(
      job, job.validator.validate(job.validator.context, *sets, message.headers, message.body));
}

}  // namespace tollbrook
