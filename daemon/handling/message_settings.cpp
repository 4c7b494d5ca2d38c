#include "daemon/handling/message_settings.h"

#include <new>

namespace tollbrook {

Result<HandlingStartup> handlingStartupFrom(const DaemonConfig& config,
                                            const HealthMonitor* monitor) {
  try {
    HandlingStartup startup;
    startup.listenerModes = config.listenerModes;
    startup.zmqEndpoint = config.zmqEndpoint;
    startup.zmqTopic = config.zmqTopic;
    startup.monitor = monitor;
    return startup;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
