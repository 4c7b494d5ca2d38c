// The decisions of the "seal" and "both" modes. The cv a sealer writes is a
// permanent statement about the chain, so neither decision guesses: a chain
// that could not be judged now (DNS trouble, a spent budget) goes to the
// On-DNSError policy, and every verdict that cannot be recorded defers the
// message.
#include <vector>

#include "arc/seal_decision.h"
#include "core/log.h"
#include "daemon/handling/decisions.h"
#include "daemon/handling/job_steps.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

std::string_view reasonOrUnknown(std::string_view reason) {
  return reason.empty() ? std::string_view("unknown") : reason;
}

ChainResult validate(MessageJob& job, std::span<const ArcSet> sets) {
  const MilterMessage& message = job.connection.message;
  return job.validator.validate(job.validator.context, sets, message.headers, message.body);
}

// --- mode "seal" ---

char skipSealAfterTransientFailure(MessageJob& job, const ChainResult& result) {
  if (!recordVerdict(job, EventResult::TempError, result.reason, VerdictCopy::QueueOnly)) {
    return kReplyTempfail;
  }
  announce(job, EventAction::Seal, EventResult::TempError, result.instance);
  return kReplyContinue;
}

char sealAfterTransientFailure(MessageJob& job, std::span<const ArcSet> sets,
                               const ChainResult& result) {
  switch (applyDnsErrorPolicy(job.config.onDnsError, result)) {
    case DnsErrorAction::SealFail:
      return sealMessage(job, sets, Cv::Fail);
    case DnsErrorAction::SkipSeal:
      return skipSealAfterTransientFailure(job, result);
    case DnsErrorAction::Tempfail:
      break;
  }
  return kReplyTempfail;
}

char sealOutcome(MessageJob& job, std::span<const ArcSet> sets, const ChainResult& result) {
  switch (result.failureClass) {
    case FailureClass::None:
      if (result.cv == Cv::Unknown) break;  // no verdict after all: never sealed as one
      return sealMessage(job, sets, result.cv);
    case FailureClass::Deadline:
      logMessage(Severity::Warning,
                 "not sealing: evaluation deadline exceeded at i=", result.instance);
      [[fallthrough]];
    case FailureClass::DnsTransient:
      return sealAfterTransientFailure(job, sets, result);
    case FailureClass::Internal:
      break;
  }
  logMessage(Severity::Err,
             "not sealing: internal error validating the chain: ", reasonOrUnknown(result.reason));
  return kReplyTempfail;
}

// --- mode "both" ---

char recordAndContinue(MessageJob& job, EventResult result, std::string_view reason) {
  if (!recordVerdict(job, result, reason, VerdictCopy::QueueOnly)) return kReplyTempfail;
  announce(job, EventAction::Verify, result, 0);
  return kReplyContinue;
}

// The verdict goes into the header list as well, so the set sealed next
// signs it where the MTA puts it (and may vouch for it in its AAR).
bool recordBeforeSealing(MessageJob& job, EventResult result, std::string_view reason,
                         uint8_t instance) {
  if (!recordVerdict(job, result, reason, VerdictCopy::KeepInMemory)) return false;
  announce(job, EventAction::Verify, result, instance);
  return true;
}

char bothAfterTransientFailure(MessageJob& job, std::span<const ArcSet> sets,
                               const ChainResult& result) {
  if (!recordBeforeSealing(job, EventResult::TempError, result.reason, result.instance)) {
    return kReplyTempfail;
  }
  switch (applyDnsErrorPolicy(job.config.onDnsError, result)) {
    case DnsErrorAction::SealFail:
      return sealMessage(job, sets, Cv::Fail);
    case DnsErrorAction::SkipSeal:
      return kReplyContinue;
    case DnsErrorAction::Tempfail:
      break;
  }
  return kReplyTempfail;
}

char bothOutcome(MessageJob& job, std::span<const ArcSet> sets, const ChainResult& result) {
  switch (result.failureClass) {
    case FailureClass::None:
      if (result.cv == Cv::Unknown) break;  // no verdict after all: never sealed as one
      if (!recordBeforeSealing(job, verdictOf(result.cv), result.reason, result.instance)) {
        return kReplyTempfail;
      }
      return sealMessage(job, sets, result.cv);
    case FailureClass::Deadline:
      logMessage(Severity::Warning,
                 "ARC chain evaluation deadline exceeded at i=", result.instance);
      [[fallthrough]];
    case FailureClass::DnsTransient:
      return bothAfterTransientFailure(job, sets, result);
    case FailureClass::Internal:
      break;
  }
  logMessage(Severity::Err,
             "internal error validating ARC chain: ", reasonOrUnknown(result.reason));
  return kReplyTempfail;
}

}  // namespace

char decideSeal(MessageJob& job) {
  const MilterMessage& message = job.connection.message;
  if (copyIncomplete(message)) {
    logMessage(Severity::Warning, "not sealing message from ",
               connectionLabel(job.connection, LabelForm::Sanitised).text(),
               ": accumulated copy is incomplete");
    return kReplyContinue;
  }
  if (job.identity == nullptr) return kReplyContinue;
  Result<std::vector<ArcSet>> sets = collectArcSets(message.headers);
  if (!sets) {
    if (sets.error() == Error::OutOfMemory) return kReplyContinue;
    logMessage(Severity::Warning, "not sealing: ", brokenChainReason(sets.error()));
    return kReplyContinue;
  }
  if (sets->empty()) return sealMessage(job, {}, Cv::None);
  return sealOutcome(job, *sets, validate(job, *sets));
}

char decideBoth(MessageJob& job) {
  if (job.identity == nullptr) return verifyMessage(job);
  const MilterMessage& message = job.connection.message;
  if (copyIncomplete(message))
    return recordAndContinue(job, EventResult::TempError, kMessageTooLarge);
  Result<std::vector<ArcSet>> sets = collectArcSets(message.headers);
  if (!sets) {
    if (sets.error() == Error::OutOfMemory) return kReplyTempfail;
    // A structurally broken chain is never sealed.
    return recordAndContinue(job, EventResult::Fail, brokenChainReason(sets.error()));
  }
  if (sets->empty()) {
    if (!recordBeforeSealing(job, EventResult::None, {}, 0)) return kReplyTempfail;
    return sealMessage(job, {}, Cv::None);
  }
  return bothOutcome(job, *sets, validate(job, *sets));
}

}  // namespace tollbrook
