// Internal to the logging layer: the per-thread state (recorded pid, syslog
// socket) and delivery of a finished line to the configured sink. Every
// function works on the calling thread's own state.
#ifndef TOLLBROOK_CORE_LOG_SINK_H_
#define TOLLBROOK_CORE_LOG_SINK_H_

#include <cstdint>
#include <string_view>

namespace tollbrook {

// The pid recorded by openThreadLog on this thread; 0 before.
int64_t threadLogPid();

// Sends a finished line (control bytes already replaced) to the sink.
void deliverLogLine(std::string_view line);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_LOG_SINK_H_
