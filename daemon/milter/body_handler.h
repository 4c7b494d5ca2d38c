// The daemon's body handler: keeps a copy of the message body within
// MaxBodyBytes so the end-of-message handling can validate and seal it. Runs on
// the connection's worker thread, inside the codec's dispatch.
#ifndef TOLLBROOK_DAEMON_MILTER_BODY_HANDLER_H_
#define TOLLBROOK_DAEMON_MILTER_BODY_HANDLER_H_

#include <string_view>

#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// Appends one body chunk to the connection's copy. When the copy would pass
// MaxBodyBytes, or cannot grow, it is released and bodyIncomplete is set (with
// its log line); later chunks of the message are dropped. Returns the reply
// code, always continue ('c').
char handleBodyChunk(MilterConnection& connection, std::string_view chunk);

// handleBodyChunk in the form of the codec's body slot (MilterHandlers::body);
// the worker's context is not needed.
char handleBodyChunkSlot(void* context, MilterConnection& connection, std::string_view chunk);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_MILTER_BODY_HANDLER_H_
