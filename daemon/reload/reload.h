// The reload the daemon runs on SIGHUP: re-read the configuration file,
// publish a new snapshot of what may change while mail flows, reload the seal
// identity, and wake the workers. Nothing here stops the daemon: every failure
// keeps what is in force and says so at warning. Main thread, one reload at a
// time.
#ifndef TOLLBROOK_DAEMON_RELOAD_RELOAD_H_
#define TOLLBROOK_DAEMON_RELOAD_RELOAD_H_

#include <string_view>

#include "daemon/reload/published_settings.h"
#include "daemon/reload/worker_wakeups.h"

namespace tollbrook {

struct ReloadTarget {
  std::string_view configPath;
  PublishedSettings& settings;
  const WorkerWakeups& wakeups;
};

// What a reload changes: the snapshot's settings (authserv-id, DNS settings
// and nameservers with their health monitor, signed headers, local methods,
// StripAuthResults, key limits, the evaluation budget, On-DNSError) and the
// seal identity. Listeners, workers, limits, ZeroMQ, the pid file, the user,
// the umask and logging are start-up settings: they are validated again but
// the running values stay.
//
// The counter moves by 2 after a reload (the snapshot and the wake-up), by 3
// when a new seal identity was published too, and by 1 after a failed one,
// which wakes no worker: each sees the new value at its next event.
void reloadConfiguration(const ReloadTarget& target);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_RELOAD_H_
