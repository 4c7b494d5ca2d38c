// The pid file, and the lock on it that says an instance is running. The
// PidFile value belongs to the main thread from the check at start-up to the
// removal at shutdown; it owns the descriptor that carries the lock.
//
// A recorded pid alone cannot tell a running daemon from a crashed one whose
// pid the kernel has since given to another process; refusing to start then
// would tempfail all mail until someone removes the file. So the running
// instance holds an flock lock on its pid file for as long as it lives, and the
// lock decides. The lock is taken at the check, before detaching; flock locks
// belong to the open file description, which the double fork shares, so the
// daemon still holds it when the processes that started it have exited. The
// pid is written later through the same descriptor.
#ifndef TOLLBROOK_DAEMON_STARTUP_PID_FILE_H_
#define TOLLBROOK_DAEMON_STARTUP_PID_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

// Paths this long or longer are refused with NameTooLong.
inline constexpr size_t kMaxPidFilePath = 1024;
// Bytes of an existing pid file read to find the recorded pid.
inline constexpr size_t kPidFileReadLimit = 32;
// Mode of a new pid file, before the umask.
inline constexpr unsigned kPidFileMode = 0666;

class PidFile;

// Before detaching: is another instance running? When the file exists and is a
// regular file it is opened (never through a symlink) and locked; a lock held
// elsewhere means a live instance: err "pid file {path} is held by live process
// {pid}; refusing to start a second instance" and AlreadyRunning ({pid} is the
// recorded pid, "unknown" when the file does not hold one yet). Where the file
// system cannot lock, the recorded pid decides instead: a positive pid other
// than ours and our parent's that names an existing process is a live
// instance. Otherwise the returned PidFile holds the lock, or nothing when
// there was no usable file. OutOfMemory when the path cannot be copied.
[[nodiscard]] Result<PidFile> checkPidFile(std::string_view path);

// After the runtime directory exists: records our pid as decimal digits and
// "\n". Through the locked descriptor when the check took the lock and the path
// still names that file; otherwise the file is created (mode kPidFileMode less
// the umask) and locked now. Errors: NameTooLong (path of kMaxPidFilePath bytes
// or more), InvalidArgument (NUL in the path), SymLinkLoop (a symlink at the
// path, not followed), NotRegularFile, FormatError, the mapped errors of open,
// truncate and write, and AlreadyRunning when another instance holds the lock
// (one that started between our check and now; the line of checkPidFile is
// logged and start-up should stop as it does after the check).
[[nodiscard]] Status writePidFile(PidFile& pidFile);

// At shutdown, or when start-up fails after the write: removes the file when
// this process holds it and the path still names it, then lets go of it. A file
// we cannot remove (the directory may not let the unprivileged user) is
// emptied instead, so no stale pid stays behind for a script to signal.
void removePidFile(PidFile& pidFile);

class PidFile {
 public:
  PidFile() = default;
  PidFile(PidFile&&) noexcept = default;
  PidFile& operator=(PidFile&&) noexcept = default;
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;
  // Closes the descriptor, which releases the lock once no forked copy holds
  // it. The file stays: removal is removePidFile's.
  ~PidFile() = default;

  const std::string& path() const { return path_; }
  // This process holds the file open (locked, where the file system can lock).
  bool held() const { return fd_.valid(); }
  // writePidFile succeeded.
  bool written() const { return written_; }

 private:
  friend Result<PidFile> checkPidFile(std::string_view path);
  friend Status writePidFile(PidFile& pidFile);
  friend void removePidFile(PidFile& pidFile);

  std::string path_;
  UniqueFd fd_;
  bool written_ = false;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_PID_FILE_H_
