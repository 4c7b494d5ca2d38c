// What the end-of-message handling of one worker reads besides the message:
// the start-up settings, fixed for the life of the process, and the published
// settings a reload may change, which the worker loads afresh at every pass
// of its loop. The start-up settings are copied into the worker; the
// published ones are only borrowed, for one pass. Worker thread.
#ifndef TOLLBROOK_DAEMON_HANDLING_MESSAGE_SETTINGS_H_
#define TOLLBROOK_DAEMON_HANDLING_MESSAGE_SETTINGS_H_

#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/error.h"
#include "daemon/config/daemon_config.h"
#include "daemon/reload/runtime_config.h"
#include "daemon/reload/seal_identity.h"

namespace tollbrook {

// Settings a reload does not change.
struct HandlingStartup {
  // The mode of each listener, by listener index.
  std::vector<ListenerMode> listenerModes;
  // The event collector; absent: no events.
  std::optional<std::string> zmqEndpoint;
  std::string zmqTopic = "arc";
  // Measures durations: the elapsed time of the result line and the
  // validation budget. Tests substitute a clock of their own.
  Clock clock = monotonicMilliseconds;
};

// The start-up settings of `config`. Error: OutOfMemory.
[[nodiscard]] Result<HandlingStartup> handlingStartupFrom(const DaemonConfig& config);

// The published settings one message is handled under, as loaded for the
// current pass. `identity` is null while no complete seal identity (domain,
// selector and a loaded key) is published: then nothing is sealed.
struct MessageSettings {
  const RuntimeConfig& config;
  const SealIdentity* identity;
};

// Where a worker finds the published settings. Both functions run on the
// worker thread, once per pass of its loop and only after the worker has
// acknowledged the configuration generation for that pass (the reload side
// frees an object only once every worker has acknowledged a later
// generation). What they return is used within that pass and never kept.
// The daemon reads its two reload slots here; tests hand in objects of their
// own.
struct SettingsSource {
  void* context = nullptr;
  // The current snapshot; null only before the first publication.
  const RuntimeConfig* (*config)(void* context) = nullptr;
  // The current seal identity, or null. An empty function means none.
  const SealIdentity* (*identity)(void* context) = nullptr;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_MESSAGE_SETTINGS_H_
