#include "daemon/handling/job_steps.h"

#include <optional>

#include "core/log.h"
#include "daemon/handling/verdict.h"

namespace tollbrook {

bool recordVerdict(MessageJob& job, EventResult result, std::string_view reason, VerdictCopy copy) {
  if (!job.canRecord) return true;
  const std::optional<std::string_view> comment =
      reason.empty() ? std::nullopt : std::optional<std::string_view>(reason);
  Status recorded = copy == VerdictCopy::KeepInMemory
                        ? addVerdictField(job.connection, job.config.authservId, result, comment)
                        : queueVerdictField(job.connection, job.config.authservId, result, comment);
  if (recorded) return true;
  logVerdictNotRecorded(recorded.error());
  return false;
}

void logVerdictNotRecorded(Error error) {
  logMessage(Severity::Err, "deferring: could not record the arc result (", ErrName{error},
             "); delivering without it would misrepresent what was checked");
}

void announce(MessageJob& job, EventAction action, EventResult result, uint8_t instance) {
  if (!job.canRecord || job.events.publish == nullptr) return;
  job.events.publish(job.events.context, action, result, instance);
}

EventResult verdictOf(Cv cv) {
  switch (cv) {
    case Cv::None:
      return EventResult::None;
    case Cv::Pass:
      return EventResult::Pass;
    case Cv::Fail:
      return EventResult::Fail;
    case Cv::Unknown:
      break;
  }
  return EventResult::Unknown;
}

}  // namespace tollbrook
