#include "daemon/handling/message_settings.h"

#include <new>

namespace tollbrook {

Result<HandlingStartup> handlingStartupFrom(const DaemonConfig& config) {
  try {
    HandlingStartup startup;
    startup.listenerModes = config.listenerModes;
    startup.zmqEndpoint = config.zmqEndpoint;
    startup.zmqTopic = config.zmqTopic;
    return startup;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
