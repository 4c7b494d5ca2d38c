#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

// O_NOFOLLOW meeting a symlink: ELOOP here, EMLINK on FreeBSD.
Error openError(int err) {
#if defined(__FreeBSD__)
  if (err == EMLINK) return Error::SymLinkLoop;
#endif
  return errorFromErrno(err);
}

FileIdentity identityFromStat(const struct stat& info) {
  return FileIdentity{info.st_dev, info.st_ino, S_ISREG(info.st_mode)};
}

}  // namespace

Result<MadeDirectory> makeDirectory(const char* path, mode_t mode) {
  if (::mkdir(path, mode) == 0) return MadeDirectory::Created;
  if (errno == EEXIST) return MadeDirectory::AlreadyExisted;
  return fail(errorFromErrno(errno));
}

Result<UniqueFd> openDirectoryNoFollow(const char* path) {
  for (;;) {
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail(openError(errno));
  }
}

Status changeMode(int fd, mode_t mode) {
  if (::fchmod(fd, mode) != 0) return fail(errorFromErrno(errno));
  return {};
}

Status changeOwner(int fd, uid_t uid, gid_t gid) {
  for (;;) {
    if (::fchown(fd, uid, gid) == 0) return {};
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

Result<UniqueFd> openNoFollow(const char* path, OpenMode mode, mode_t createMode) {
  int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case OpenMode::ReadOnly:
      flags |= O_RDONLY;
      break;
    case OpenMode::ReadWrite:
      flags |= O_RDWR;
      break;
    case OpenMode::ReadWriteCreate:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  for (;;) {
    int fd = ::open(path, flags, createMode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail(openError(errno));
  }
}

Result<FileIdentity> identityOf(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errorFromErrno(errno));
  return identityFromStat(info);
}

Result<FileIdentity> identityAtPath(const char* path) {
  struct stat info {};
  if (::fstatat(AT_FDCWD, path, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail(errorFromErrno(errno));
  }
  return identityFromStat(info);
}

Result<LockOutcome> lockExclusiveNoWait(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockOutcome::Acquired;
    if (errno == EWOULDBLOCK) return LockOutcome::HeldElsewhere;
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

Status truncateToEmpty(int fd) {
  for (;;) {
    if (::ftruncate(fd, 0) == 0) return {};
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

Result<size_t> readFromStart(int fd, std::span<char> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(done));
    if (n == 0) break;
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      return fail(errorFromErrno(errno));
    }
  }
  return done;
}

Status writeFromStart(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return fail(Error::NoSpaceLeft);
    } else if (errno != EINTR) {
      return fail(errorFromErrno(errno));
    }
  }
  return {};
}

Status removeFile(const char* path) {
  if (::unlink(path) != 0) return fail(errorFromErrno(errno));
  return {};
}

}  // namespace tollbrook
