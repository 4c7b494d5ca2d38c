// What the main thread hands the workers and a reload may replace: the
// configuration snapshot and the seal identity, each in its own publication
// slot, with the one generation counter and the workers' acknowledgements
// that decide when a replaced object may be freed. The main thread owns this
// object and is the only one that publishes; workers read the slots through
// the SettingsSource, lock-free, within one pass of their loop.
#ifndef TOLLBROOK_DAEMON_RELOAD_PUBLISHED_SETTINGS_H_
#define TOLLBROOK_DAEMON_RELOAD_PUBLISHED_SETTINGS_H_

#include <cstddef>
#include <memory>

#include "base/error.h"
#include "daemon/handling/message_settings.h"
#include "daemon/reload/reload_slot.h"
#include "daemon/reload/runtime_config.h"
#include "daemon/reload/seal_identity.h"

namespace tollbrook {

void destroyRuntimeConfig(RuntimeConfig* config);

class PublishedSettings {
 public:
  PublishedSettings() = default;
  PublishedSettings(const PublishedSettings&) = delete;
  PublishedSettings& operator=(const PublishedSettings&) = delete;

  ReloadGenerations& generations() { return generations_; }
  uint64_t generation() const { return generations_.current(); }

  // Main thread. Each makes the object current, advances the counter and
  // frees what every worker has moved past. The only error is OutOfMemory;
  // the object is then destroyed and the slot stays as it was.
  [[nodiscard]] Status publishConfig(std::unique_ptr<RuntimeConfig> config);
  [[nodiscard]] Status publishSealIdentity(std::unique_ptr<SealIdentity> identity);

  // Main thread: what is in force (the workers may still be on an older one).
  const RuntimeConfig* currentConfig() const { return config_.load(); }
  RuntimeConfig* currentConfig() { return config_.load(); }
  const SealIdentity* currentSealIdentity() const { return identity_.load(); }

  // Objects replaced but not yet freed; the reload's lines report them.
  size_t configsAwaitingReclamation() const { return config_.retiredCount(); }
  size_t sealIdentitiesAwaitingReclamation() const { return identity_.retiredCount(); }

  // Where the workers' message handling loads the current objects.
  SettingsSource source();

  // Main thread, after every worker has been joined: frees every seal
  // identity (wiping the keys), then every configuration snapshot (which
  // stops the health monitors no snapshot holds any more).
  void releaseSealIdentities() { identity_.releaseAll(); }
  void releaseConfigs() { config_.releaseAll(); }

 private:
  ReloadGenerations generations_;
  ReloadSlot<RuntimeConfig, destroyRuntimeConfig> config_;
  ReloadSlot<SealIdentity, destroySealIdentity> identity_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_PUBLISHED_SETTINGS_H_
