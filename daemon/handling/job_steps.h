// Steps the handling procedures share: recording a verdict for the MTA,
// announcing an event, and reading the state of the accumulated copy.
// Worker thread, inside one end of message.
#ifndef TOLLBROOK_DAEMON_HANDLING_JOB_STEPS_H_
#define TOLLBROOK_DAEMON_HANDLING_JOB_STEPS_H_

#include <cstdint>
#include <string_view>

#include "arc/chain_result.h"
#include "daemon/events/event_record.h"
#include "daemon/handling/message_job.h"

namespace tollbrook {

// The reason of a verdict for a message whose copy was not kept in full.
inline constexpr std::string_view kMessageTooLarge = "message too large to validate";

// Where a recorded verdict goes besides the MTA's queue.
enum class VerdictCopy : uint8_t {
  QueueOnly,     // nothing is sealed afterwards
  KeepInMemory,  // a seal follows and must see the field where the MTA puts it
};

// Records the arc= verdict with `reason` (none when empty). False when it
// could not be queued: the deferring line is logged and the caller answers
// tempfail, since delivering without the verdict would tell the next hop
// less than was checked. Without SMFIF_ADDHDRS nothing is queued and the
// answer is true.
[[nodiscard]] bool recordVerdict(MessageJob& job, EventResult result, std::string_view reason,
                                 VerdictCopy copy);

// The deferring line (error): a verdict that cannot be recorded defers the
// message.
void logVerdictNotRecorded(Error error);

// Publishes an event for what was just queued; nothing without SMFIF_ADDHDRS,
// since then nothing was.
void announce(MessageJob& job, EventAction action, EventResult result, uint8_t instance);

// The verdict (and event) word of a completed validation's cv.
EventResult verdictOf(Cv cv);

// The accumulated copy is not the whole message: the body was abandoned or
// the header block was cut.
inline bool copyIncomplete(const MilterMessage& message) {
  return message.bodyIncomplete || message.headerLimitReached;
}

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_JOB_STEPS_H_
