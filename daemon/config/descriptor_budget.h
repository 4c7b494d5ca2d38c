// How many file descriptors the daemon asks for at start-up: every worker
// holds its connections, its own socket on every listener, and three more
// (its event queue, the shared shutdown pipe, its notify pipe); the process
// needs some beside the workers. Pure function; any thread.
#ifndef TOLLBROOK_DAEMON_CONFIG_DESCRIPTOR_BUDGET_H_
#define TOLLBROOK_DAEMON_CONFIG_DESCRIPTOR_BUDGET_H_

#include <cstddef>
#include <cstdint>

namespace tollbrook {

// Descriptors outside the workers: log sockets, pid file, the health monitor's
// probes, the event publisher.
inline constexpr uint64_t kProcessDescriptorReserve = 64;
inline constexpr uint64_t kWorkerDescriptorReserve = 3;

// workers x (maxConnections + listeners + 3) + 64, saturating at INT64_MAX, so
// a large configuration asks for "as many as allowed" instead of wrapping to a
// small number. INT64_MAX fits the resource-limit type of every platform, some
// of which make it signed.
uint64_t descriptorsWanted(uint32_t workers, uint32_t maxConnections, size_t listeners);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_DESCRIPTOR_BUDGET_H_
