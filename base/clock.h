// The realtime clock as the resolver reads it: milliseconds since the epoch.
// Cache expiry uses whole seconds of the same clock. Tests substitute a clock
// of their own so that expiry can be checked without sleeping.
#ifndef TOLLBROOK_BASE_CLOCK_H_
#define TOLLBROOK_BASE_CLOCK_H_

#include <cstdint>
#include <functional>

namespace tollbrook {

// Returns realtime milliseconds. Called only on the thread that owns the resolver.
using Clock = std::function<int64_t()>;

// clock_gettime(CLOCK_REALTIME) in whole milliseconds.
int64_t realtimeMilliseconds();

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_CLOCK_H_
