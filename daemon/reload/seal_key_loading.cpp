#include "daemon/reload/seal_key_loading.h"

#include <utility>

#include "base/terminated_path.h"
#include "core/log.h"
#include "crypto/private_key.h"

namespace tollbrook {

namespace {

bool identityComplete(const DaemonConfig& config) {
  return config.sealDomain && !config.sealDomain->empty() && config.sealSelector &&
         !config.sealSelector->empty();
}

void logLoadedKey(const PrivateKey& key, std::string_view path) {
  logMessage(Severity::Info, "loaded ", rsaKeyBits(key), "-bit seal key from ", path);
}

void logStartupLoadFailure(Error error, std::string_view path) {
  switch (error) {
    case Error::RsaKeyTooSmall:
      logMessage(Severity::Err, "seal key ", path, " is below the RFC 8301 minimum of ",
                 kMinimumSigningKeyBits, " bits: refusing to seal with it");
      return;
    case Error::KeyFilePermissionsTooOpen:
      logMessage(Severity::Err, "seal key ", path, " is mode ",
                 OctalMode(sealKeyFileMode(path)).text(), ", ", kSealKeyModeAdvice);
      return;
    default:
      logMessage(Severity::Err, "failed to load seal key ", path, ": ", error);
      return;
  }
}

void logReloadFailure(Error error, std::string_view path) {
  if (error == Error::KeyFilePermissionsTooOpen) {
    logMessage(Severity::Warning, "reload: seal key ", path, " is mode ",
               OctalMode(sealKeyFileMode(path)).text(), ", ", kSealKeyModeAdvice,
               " -- keeping previous key");
    return;
  }
  // The load error is not named here; the key file is the administrator's to
  // check, and the previous identity goes on signing meanwhile.
  logMessage(Severity::Warning, "reload: failed to reload seal key ", path);
}

// Without a SealKeyFile the identity in force stays. Should the new file
// name another domain or selector, say that it is not taken up: a selector
// without its key would make every seal fail verification.
void noteIdentityKept(const DaemonConfig& config, const SealIdentity* current) {
  if (current == nullptr) return;
  const bool domainMoved = config.sealDomain && *config.sealDomain != current->domain;
  const bool selectorMoved = config.sealSelector && *config.sealSelector != current->selector;
  if (!domainMoved && !selectorMoved) return;
  logMessage(Severity::Warning,
             "reload: SealDomain or SealSelector changed without a SealKeyFile, keeping the "
             "previous seal identity d=",
             current->domain, " s=", current->selector);
}

}  // namespace

uint32_t sealKeyFileMode(std::string_view path) {
  auto terminated = TerminatedPath<>::from(path);
  if (!terminated) return 0;
  auto mode = keyFileMode(terminated->c_str());
  return mode ? *mode : 0;
}

OctalMode::OctalMode(uint32_t mode) {
  start_ = digits_.size();
  do {
    digits_[--start_] = static_cast<char>('0' + (mode & 7));
    mode >>= 3;
  } while (mode != 0);
}

Result<std::unique_ptr<SealIdentity>> loadStartupSealIdentity(const DaemonConfig& config) {
  if (!config.sealKeyFile) return nullptr;
  const std::string_view path = *config.sealKeyFile;
  Result<PrivateKey> key = loadPrivateKey(path);
  if (!key) {
    logStartupLoadFailure(key.error(), path);
    return fail(key.error());
  }
  logLoadedKey(*key, path);
  if (!identityComplete(config)) {
    logMessage(Severity::Warning, "seal key ", path,
               " is loaded but SealDomain and SealSelector are not both set: nothing will be "
               "sealed");
    return nullptr;
  }
  auto identity = makeSealIdentity(*config.sealDomain, *config.sealSelector, std::move(*key));
  if (!identity) {
    logMessage(Severity::Err, "failed to store seal key: ", identity.error());
    return fail(identity.error());
  }
  return std::move(*identity);
}

std::unique_ptr<SealIdentity> loadReloadedSealIdentity(const DaemonConfig& config,
                                                       const SealIdentity* current) {
  if (!config.sealKeyFile) {
    noteIdentityKept(config, current);
    return nullptr;
  }
  const std::string_view path = *config.sealKeyFile;
  Result<PrivateKey> key = loadPrivateKey(path);
  if (!key) {
    logReloadFailure(key.error(), path);
    return nullptr;
  }
  if (!identityComplete(config)) {
    logMessage(Severity::Warning, "reload: seal key ", path,
               " needs both SealDomain and SealSelector, keeping previous key");
    return nullptr;
  }
  auto identity = makeSealIdentity(*config.sealDomain, *config.sealSelector, std::move(*key));
  if (!identity) {
    logMessage(Severity::Warning, "reload: failed to store seal key (", identity.error(),
               "), keeping previous");
    return nullptr;
  }
  return std::move(*identity);
}

}  // namespace tollbrook
