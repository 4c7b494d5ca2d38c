// The directories the daemon's runtime files live in (the pid file's, each
// unix socket's): made at start-up when missing, as root, before the privilege
// drop. Main thread; nothing is returned and nothing here stops start-up.
#ifndef TOLLBROOK_DAEMON_STARTUP_RUNTIME_DIR_H_
#define TOLLBROOK_DAEMON_STARTUP_RUNTIME_DIR_H_

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/users.h"

namespace tollbrook {

// Directory names this long or longer are not attempted.
inline constexpr size_t kMaxRuntimeDirPath = 1024;
// Mode of a directory we create, whatever the umask.
inline constexpr unsigned kRuntimeDirMode = 0755;

// The directory part of a file path: the path without trailing "/" and without
// its last component (and the "/" before it). "/" for a file directly under the
// root, nullopt for a path without "/". A view into `filePath`.
std::optional<std::string_view> runtimeDirOf(std::string_view filePath);

// Makes the directory of `filePath` (one level) when it is missing, with mode
// kRuntimeDirMode regardless of the umask, and gives it to `owner` when one is
// known so that the daemon can still remove its files after dropping root.
// A directory that already exists is left exactly as it is: it may be a shared
// one such as /var/run or /tmp, which must not change hands. Problems are
// logged at warning ("mkdir {dir}: {error}", "open {dir}: {error}",
// "chmod {dir}: {error}", "chown {dir}: {error}") and start-up goes on.
void ensureRuntimeDir(std::string_view filePath, std::optional<UserIds> owner);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_RUNTIME_DIR_H_
