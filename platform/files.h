// Files and directories as the daemon's start-up uses them: making a runtime
// directory, changing its mode and owner through a descriptor, opening a file
// without following a symlink, a whole-file advisory lock, and positional reads
// and writes. The caller owns every descriptor returned. Main thread.
#ifndef TOLLBROOK_PLATFORM_FILES_H_
#define TOLLBROOK_PLATFORM_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

enum class MadeDirectory : uint8_t { Created, AlreadyExisted };

// mkdir(2) of one level. Something that already exists at the path (a
// directory or not) is AlreadyExisted; other failures are mapped.
[[nodiscard]] Result<MadeDirectory> makeDirectory(const char* path, mode_t mode);

// Opens a directory for fchmod and fchown. A symlink in the last component is
// refused (SymLinkLoop), so the change lands on the directory we mean.
[[nodiscard]] Result<UniqueFd> openDirectoryNoFollow(const char* path);

// fchmod(2); fchown(2), retried when a signal interrupts it.
[[nodiscard]] Status changeMode(int fd, mode_t mode);
[[nodiscard]] Status changeOwner(int fd, uid_t uid, gid_t gid);

// Opens a file without following a symlink in the last component (that is
// SymLinkLoop), and without waiting, not even on a FIFO planted at the path.
// ReadWriteCreate creates a missing file with createMode less the umask.
enum class OpenMode : uint8_t { ReadOnly, ReadWrite, ReadWriteCreate };
[[nodiscard]] Result<UniqueFd> openNoFollow(const char* path, OpenMode mode, mode_t createMode = 0);

// Which file a descriptor or a path (not followed) names, and whether it is a
// regular file.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool regular = false;

  bool sameFileAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};
[[nodiscard]] Result<FileIdentity> identityOf(int fd);
[[nodiscard]] Result<FileIdentity> identityAtPath(const char* path);

// flock(2) LOCK_EX without waiting. The lock belongs to the open file
// description: a forked child that inherits the descriptor holds it too, it
// lasts until the last such descriptor closes, and the kernel drops it when its
// holders die. (fcntl record locks belong to a process and would not survive
// the fork of detaching.) A lock taken through another open of the same file,
// even by this process, conflicts. Local file systems only: on NFS Linux
// emulates flock with record locks.
enum class LockOutcome : uint8_t { Acquired, HeldElsewhere };
[[nodiscard]] Result<LockOutcome> lockExclusiveNoWait(int fd);

// ftruncate(2) to length 0.
[[nodiscard]] Status truncateToEmpty(int fd);

// Reads from offset 0 until the buffer is full or the file ends; the count.
[[nodiscard]] Result<size_t> readFromStart(int fd, std::span<char> buffer);

// Writes all of `bytes` from offset 0.
[[nodiscard]] Status writeFromStart(int fd, std::string_view bytes);

// unlink(2).
[[nodiscard]] Status removeFile(const char* path);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_FILES_H_
