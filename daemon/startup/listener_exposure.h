// Whether a listener can be reached from other hosts, for the start-up
// warning about sealing listeners: such a listener signs whatever anyone who
// can connect sends it. Main thread, at start-up; plain functions.
#ifndef TOLLBROOK_DAEMON_STARTUP_LISTENER_EXPOSURE_H_
#define TOLLBROOK_DAEMON_STARTUP_LISTENER_EXPOSURE_H_

#include <cstddef>

#include "daemon/config/daemon_config.h"
#include "daemon/config/listen_address.h"

namespace tollbrook {

// False for unix sockets and for loopback addresses (127.0.0.0/8, ::1, and
// 127.0.0.0/8 mapped into IPv6); true for every other address, the wildcards
// 0.0.0.0 and :: (a bare port) included.
bool reachableBeyondHost(const ListenAddress& address);

// Warns once for listener `index` when its mode seals and it is reachable
// beyond this host: "listener[{i}] mode={mode} on {address}:{port} is
// reachable beyond this host: anyone who can connect can have mail sealed
// with this host's key" (an IPv6 address in brackets).
void warnIfSealingListenerExposed(const DaemonConfig& config, size_t index);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_LISTENER_EXPOSURE_H_
