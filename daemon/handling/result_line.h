// The one line every message leaves in the log, whatever became of it:
// "id={queue_id} peer={label} client={client} listener={index} mode={mode}
// elapsed={ms}ms". Formatted on the caller's stack; worker thread.
#ifndef TOLLBROOK_DAEMON_HANDLING_RESULT_LINE_H_
#define TOLLBROOK_DAEMON_HANDLING_RESULT_LINE_H_

#include <cstdint>
#include <string_view>

#include "daemon/config/daemon_config.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// The client named in the result line: the client_addr macro when set and
// not empty, else the connect address when set and not empty, else
// "unknown". A view into the connection (or static text).
std::string_view resultLineClient(const MilterConnection& connection);

// Logs the result line at info. The queue id, the connection label and the
// client are untrusted and written sanitised ("-" for an unset queue id).
void logResultLine(const MilterConnection& connection, ListenerMode mode, int64_t elapsedMs);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_RESULT_LINE_H_
