#include "daemon/startup/runtime_dir.h"

#include "core/log.h"
#include "platform/files.h"

namespace tollbrook {

namespace {

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Sets the mode the umask may have narrowed, and the owner, on a directory we
// have just made.
void settleNewDirectory(const char* dir, std::optional<UserIds> owner) {
  auto fd = openDirectoryNoFollow(dir);
  if (!fd) {
    logMessage(Severity::Warning, "open ", dir, ": ", fd.error());
    return;
  }
  if (auto mode = changeMode(fd->get(), kRuntimeDirMode); !mode) {
    logMessage(Severity::Warning, "chmod ", dir, ": ", mode.error());
  }
  if (!owner) return;
  if (auto chown = changeOwner(fd->get(), owner->uid, owner->gid); !chown) {
    logMessage(Severity::Warning, "chown ", dir, ": ", chown.error());
  }
}

}  // namespace

std::optional<std::string_view> runtimeDirOf(std::string_view filePath) {
  std::string_view path = withoutTrailingSlashes(filePath);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return std::nullopt;
  std::string_view dir = withoutTrailingSlashes(path.substr(0, slash));
  return dir.empty() ? std::string_view("/") : dir;
}

void ensureRuntimeDir(std::string_view filePath, std::optional<UserIds> owner) {
  auto dir = runtimeDirOf(filePath);
  if (!dir) return;
  if (dir->size() >= kMaxRuntimeDirPath || dir->find('\0') != std::string_view::npos) {
    Error error = dir->size() >= kMaxRuntimeDirPath ? Error::NameTooLong : Error::InvalidArgument;
    logMessage(Severity::Warning, "mkdir ", *dir, ": ", error);
    return;
  }
  char path[kMaxRuntimeDirPath];
  dir->copy(path, dir->size());
  path[dir->size()] = '\0';
  auto made = makeDirectory(path, kRuntimeDirMode);
  if (!made) {
    logMessage(Severity::Warning, "mkdir ", *dir, ": ", made.error());
  } else if (*made == MadeDirectory::Created) {
    settleNewDirectory(path, owner);
  }
}

}  // namespace tollbrook
