#include "daemon/reload/published_settings.h"

namespace tollbrook {

namespace {

const RuntimeConfig* loadConfig(void* context) {
  return static_cast<const PublishedSettings*>(context)->currentConfig();
}

const SealIdentity* loadSealIdentity(void* context) {
  return static_cast<const PublishedSettings*>(context)->currentSealIdentity();
}

}  // namespace

void destroyRuntimeConfig(RuntimeConfig* config) {
  delete config;
}

Status PublishedSettings::publishConfig(std::unique_ptr<RuntimeConfig> config) {
  return config_.publish(config.release(), generations_);
}

Status PublishedSettings::publishSealIdentity(std::unique_ptr<SealIdentity> identity) {
  return identity_.publish(identity.release(), generations_);
}

SettingsSource PublishedSettings::source() {
  return SettingsSource{this, loadConfig, loadSealIdentity};
}

}  // namespace tollbrook
