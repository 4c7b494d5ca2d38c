// The DNS health monitor of a configuration snapshot: started for the
// snapshot's nameserver list, or taken over from the snapshot in force when a
// reload leaves the list as it was. Main thread; the monitor is shared by the
// snapshots that hold it and stops when the last of them is freed.
#ifndef TOLLBROOK_DAEMON_RELOAD_NAMESERVER_HEALTH_H_
#define TOLLBROOK_DAEMON_RELOAD_NAMESERVER_HEALTH_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "daemon/reload/runtime_config.h"
#include "dns/health_monitor.h"

namespace tollbrook {

// A started monitor of `nameservers` (asked on `port`), or null when there
// can be none: warning "{prefix}DNS health monitor init failed: {error},
// falling back to reactive" (InvalidServerCount outside 1 to 8 servers) or
// "{prefix}DNS health monitor thread failed: {error}". Without a monitor the
// resolvers try every server.
std::shared_ptr<HealthMonitor> startHealthMonitor(std::span<const std::string> nameservers,
                                                  uint16_t port, std::string_view linePrefix);

// Gives `fresh` a monitor for a reload: the one of `current` when both ask
// the same servers on the same port, otherwise a new one (lines prefixed
// "reload: "). A resolver built from `fresh` is then never judged by the
// health of servers it does not ask.
void attachReloadedHealthMonitor(const RuntimeConfig* current, RuntimeConfig& fresh);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_NAMESERVER_HEALTH_H_
