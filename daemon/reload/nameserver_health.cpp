#include "daemon/reload/nameserver_health.h"

#include <new>
#include <utility>

#include "core/log.h"

namespace tollbrook {

std::shared_ptr<HealthMonitor> startHealthMonitor(std::span<const std::string> nameservers,
                                                  uint16_t port, std::string_view linePrefix) {
  HealthMonitorSettings settings;
  settings.port = port;
  auto created = HealthMonitor::create(nameservers, settings);
  if (!created) {
    logMessage(Severity::Warning, linePrefix, "DNS health monitor init failed: ", created.error(),
               ", falling back to reactive");
    return nullptr;
  }
  std::shared_ptr<HealthMonitor> monitor;
  try {
    monitor = std::move(*created);
  } catch (const std::bad_alloc&) {
    logMessage(Severity::Warning, linePrefix,
               "DNS health monitor init failed: ", Error::OutOfMemory,
               ", falling back to reactive");
    return nullptr;
  }
  if (Status started = monitor->start(); !started) {
    logMessage(Severity::Warning, linePrefix,
               "DNS health monitor thread failed: ", started.error());
    return nullptr;
  }
  return monitor;
}

void attachReloadedHealthMonitor(const RuntimeConfig* current, RuntimeConfig& fresh) {
  if (current != nullptr && current->dnsPort == fresh.dnsPort &&
      current->dnsNameservers == fresh.dnsNameservers) {
    fresh.attachHealthMonitor(current->sharedHealthMonitor());
    return;
  }
  fresh.attachHealthMonitor(startHealthMonitor(fresh.dnsNameservers, fresh.dnsPort, "reload: "));
}

}  // namespace tollbrook
