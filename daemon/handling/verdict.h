// The Authentication-Results field in which the daemon records its ARC verdict
// for the MTA: formatted, queued as an insertion at the top of the message,
// and, when a seal follows, also placed in the in-memory header list exactly
// where the MTA will put it. Worker thread of the connection.
#ifndef TOLLBROOK_DAEMON_HANDLING_VERDICT_H_
#define TOLLBROOK_DAEMON_HANDLING_VERDICT_H_

#include <optional>
#include <string_view>

#include "base/error.h"
#include "daemon/events/event_record.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// Queues the verdict field "{authservId}; arc={result} ({reason})" for
// insertion at the top of the message. Errors: OutOfMemory, BuildFailed,
// InvalidArgument (a NUL in the authserv-id), and those of queueReplies
// (OutputQueueFull, PacketTooLarge). Nothing is queued on error.
[[nodiscard]] Status queueVerdictField(MilterConnection& connection, std::string_view authservId,
                                       EventResult result, std::optional<std::string_view> reason);

// queueVerdictField, and the same field inserted at the top of the in-memory
// header list (index 0), where the MTA inserts it: the set sealed afterwards
// must sign the header block the next hop receives, and with
// Authentication-Results among the signed fields the position decides which
// field the signature covers. All or nothing: on error neither the queue nor
// the list has changed.
[[nodiscard]] Status addVerdictField(MilterConnection& connection, std::string_view authservId,
                                     EventResult result, std::optional<std::string_view> reason);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_VERDICT_H_
