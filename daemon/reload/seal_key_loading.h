// Loading the seal key named by SealKeyFile and joining it with SealDomain and
// SealSelector into the identity sealing listeners sign with, at start-up
// (where a bad key stops the daemon) and at reload (where it keeps the
// identity in force). Main thread; the caller owns the identity returned and
// publishes it.
#ifndef TOLLBROOK_DAEMON_RELOAD_SEAL_KEY_LOADING_H_
#define TOLLBROOK_DAEMON_RELOAD_SEAL_KEY_LOADING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/error.h"
#include "daemon/config/daemon_config.h"
#include "daemon/reload/seal_identity.h"

namespace tollbrook {

// What the key-mode lines advise.
inline constexpr std::string_view kSealKeyModeAdvice =
    "readable beyond its owner: chmod 600 and chown it to the user the daemon drops to";

// The permission bits of the key file (set-id and sticky bits included), as
// the key-mode lines print them in octal; 0 when the file cannot be examined.
uint32_t sealKeyFileMode(std::string_view path);

// A mode in octal without a leading zero ("644", "0" for none), as the
// key-mode lines print it. The text lives in the object.
class OctalMode {
 public:
  explicit OctalMode(uint32_t mode);
  std::string_view text() const { return {digits_.data() + start_, digits_.size() - start_}; }

 private:
  std::array<char, 12> digits_{};
  size_t start_ = 0;
};

// Start-up. Null when the configuration names no SealKeyFile, or names one
// without both SealDomain and SealSelector (the key is checked, a warning
// says nothing will be sealed, and it is released). Errors, each after its
// err line: RsaKeyTooSmall, KeyFilePermissionsTooOpen, every other load
// error, OutOfMemory when the identity cannot be stored.
[[nodiscard]] Result<std::unique_ptr<SealIdentity>> loadStartupSealIdentity(
    const DaemonConfig& config);

// Reload. The new identity to publish, or null when the identity in force
// stays: the configuration names no SealKeyFile, the key cannot be loaded or
// stored, or SealDomain or SealSelector is missing; each case but the first
// logs its warning. Domain, selector and key go together: a new selector is
// never published with the old key, nor a new key under the old selector.
std::unique_ptr<SealIdentity> loadReloadedSealIdentity(const DaemonConfig& config,
                                                       const SealIdentity* current);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_RELOAD_SEAL_KEY_LOADING_H_
