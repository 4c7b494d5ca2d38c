#include "daemon/reload/reload.h"

#include <memory>
#include <utility>

#include "core/log.h"
#include "daemon/config/daemon_config.h"
#include "daemon/config/ini_file.h"
#include "daemon/reload/nameserver_health.h"
#include "daemon/reload/seal_key_loading.h"

namespace tollbrook {

namespace {

// A failed reload still moves the counter, so each worker drops its resolver
// and key cache at its next event as after a successful one: a reload is also
// how an administrator asks for fresh DNS answers.
void keepPrevious(const ReloadTarget& target) {
  (void)target.settings.generations().advance();
}

[[nodiscard]] bool publishSnapshot(const ReloadTarget& target, const DaemonConfig& config) {
  Result<std::unique_ptr<RuntimeConfig>> snapshot = RuntimeConfig::copyFrom(config);
  if (!snapshot) {
    logMessage(Severity::Warning, "reload: failed to copy configuration (", snapshot.error(),
               "), keeping previous");
    return false;
  }
  attachReloadedHealthMonitor(target.settings.currentConfig(), **snapshot);
  if (Status published = target.settings.publishConfig(std::move(*snapshot)); !published) {
    logMessage(Severity::Warning, "reload: failed to adopt configuration (", published.error(),
               "), keeping previous");
    return false;
  }
  logMessage(Severity::Info, "configuration reloaded from ", target.configPath, " (",
             target.settings.configsAwaitingReclamation(), " awaiting reclamation)");
  return true;
}

// A key problem never undoes the snapshot just published.
void reloadSealIdentity(const ReloadTarget& target, const DaemonConfig& config) {
  std::unique_ptr<SealIdentity> identity =
      loadReloadedSealIdentity(config, target.settings.currentSealIdentity());
  if (!identity) return;
  if (Status published = target.settings.publishSealIdentity(std::move(identity)); !published) {
    logMessage(Severity::Warning, "reload: failed to publish seal key (", published.error(),
               "), keeping previous");
    return;
  }
  logMessage(Severity::Info, "seal key reloaded from ", *config.sealKeyFile, " (",
             target.settings.sealIdentitiesAwaitingReclamation(), " awaiting reclamation)");
}

void wakeWorkers(const ReloadTarget& target) {
  const uint64_t generation = target.settings.generations().advance();
  target.wakeups.wakeAll();
  logMessage(Severity::Info, "config generation advanced to ", generation);
}

}  // namespace

void reloadConfiguration(const ReloadTarget& target) {
  logMessage(Severity::Info, "SIGHUP received, reloading configuration...");
  Result<IniDocument> document = readIniFile(target.configPath);
  if (!document) {
    logMessage(Severity::Warning, "reload: failed to re-read config file, keeping previous");
    return keepPrevious(target);
  }
  Result<DaemonConfig> config = buildDaemonConfig(*document);
  if (!config) {
    logMessage(Severity::Warning, "reload: failed to parse config, keeping previous");
    return keepPrevious(target);
  }
  if (!publishSnapshot(target, *config)) return keepPrevious(target);
  reloadSealIdentity(target, *config);
  wakeWorkers(target);
}

}  // namespace tollbrook
