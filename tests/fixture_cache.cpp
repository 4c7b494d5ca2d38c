#include "tests/fixture_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tests/program_run.h"

namespace tollbrook::testing {
namespace {

// FNV-1a: stable across runs and builds, which is all a cache key needs.
uint64_t mix(uint64_t hash, std::string_view bytes) {
  for (unsigned char byte : bytes) hash = (hash ^ byte) * 0x100000001b3ULL;
  return (hash ^ 0xff) * 0x100000001b3ULL;  // ends each part, so parts cannot run together
}

// The name, the outside programs that make the files and the bytes of every
// input, as 16 hex digits.
std::string keyOf(std::string_view name, const std::vector<std::string>& inputs) {
  uint64_t hash = mix(0xcbf29ce484222325ULL, name);
  hash = mix(hash, TOLLBROOK_PYTHON3);
  hash = mix(hash, TOLLBROOK_OPENSSL);
  for (const std::string& input : inputs) hash = mix(mix(hash, input), readFile(input));
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool isDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string systemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// An exclusive lock on a file, held while the object lives.
class FileLock {
 public:
  explicit FileLock(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Copies of `name` under other keys, and half-made ones a killed run left
// behind. Called with the lock held, so no other process is making one.
void removeOtherCopies(const std::string& root, std::string_view name, std::string_view keep) {
  DIR* directory = opendir(root.c_str());
  if (directory == nullptr) return;
  const std::string prefix = std::string(name) + "-";
  while (dirent* entry = readdir(directory)) {
    std::string_view entryName = entry->d_name;
    if (entryName.starts_with(prefix) && entryName != keep && !entryName.ends_with(".lock")) {
      removeTree(root + "/" + std::string(entryName));
    }
  }
  closedir(directory);
}

// Makes the copy in a fresh directory and renames it into place, so that a
// copy under its final name is always complete.
std::expected<std::string, std::string> makeCopy(const std::string& root,
                                                 const std::string& finalName,
                                                 const FixtureMaker& make) {
  std::string pattern = root + "/" + finalName + ".tmp-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::unexpected(systemError("mkdtemp " + pattern));
  std::string error = make(pattern);
  if (error.empty() && rename(pattern.c_str(), (root + "/" + finalName).c_str()) != 0) {
    error = systemError("rename " + pattern);
  }
  if (!error.empty()) {
    removeTree(pattern);
    return std::unexpected(error);
  }
  return root + "/" + finalName;
}

}  // namespace

std::string fixtureCacheRoot() {
  return std::string(TOLLBROOK_BINARY_DIR) + "/tests/fixture-cache";
}

std::expected<std::string, std::string> cachedFixture(std::string_view name,
                                                      const std::vector<std::string>& inputs,
                                                      const FixtureMaker& make) {
  const std::string root = fixtureCacheRoot();
  const std::string finalName = std::string(name) + "-" + keyOf(name, inputs);
  const std::string path = root + "/" + finalName;
  if (isDirectory(path)) return path;
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    return std::unexpected(systemError("mkdir " + root));
  }
  FileLock lock(root + "/" + std::string(name) + ".lock");
  if (!lock.held()) return std::unexpected(systemError("lock in " + root));
  if (isDirectory(path)) return path;  // made while we waited for the lock
  removeOtherCopies(root, name, finalName);
  return makeCopy(root, finalName, make);
}

}  // namespace tollbrook::testing
