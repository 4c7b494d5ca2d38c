#include "daemon/startup/pid_file.h"

#include <charconv>
#include <cstdint>
#include <new>
#include <optional>

#include "core/log.h"
#include "core/number_syntax.h"
#include "platform/files.h"
#include "platform/process.h"

namespace tollbrook {

namespace {

bool usablePath(std::string_view path) {
  return path.size() < kMaxPidFilePath && path.find('\0') == std::string_view::npos;
}

std::string_view trimPidText(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The pid recorded in the file: a positive signed 32-bit number in the shared
// number syntax after trimming; nullopt for anything else.
std::optional<int32_t> recordedPid(int fd) {
  char buffer[kPidFileReadLimit];
  auto count = readFromStart(fd, buffer);
  if (!count) return std::nullopt;
  auto value = parseSignedNumber(trimPidText(std::string_view(buffer, *count)));
  if (!value || *value <= 0 || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

void logHeldByLiveProcess(std::string_view path, std::optional<int32_t> pid) {
  if (pid) {
    logMessage(Severity::Err, "pid file ", path, " is held by live process ", *pid,
               "; refusing to start a second instance");
  } else {
    logMessage(Severity::Err, "pid file ", path,
               " is held by live process unknown; refusing to start a second instance");
  }
}

// Where flock is not available the recorded pid is all there is to go on.
bool recordedPidIsAlive(int fd) {
  auto pid = recordedPid(fd);
  if (!pid || *pid == currentProcessId() || *pid == parentProcessId()) return false;
  return processExists(*pid);
}

// Takes the lock on an open pid file. AlreadyRunning (logged) when a live
// instance has it.
Status claim(const std::string& path, int fd) {
  auto lock = lockExclusiveNoWait(fd);
  bool live = lock ? *lock == LockOutcome::HeldElsewhere : recordedPidIsAlive(fd);
  if (!live) return {};
  logHeldByLiveProcess(path, recordedPid(fd));
  return fail(Error::AlreadyRunning);
}

// Whether the path still names the file open on fd: someone may have removed
// or replaced it since we opened it.
bool pathNamesOpenFile(const std::string& path, int fd) {
  auto atPath = identityAtPath(path.c_str());
  auto open = identityOf(fd);
  return atPath && open && atPath->sameFileAs(*open);
}

// Opens (creating it when missing) and claims the pid file.
Result<UniqueFd> openAndClaim(const std::string& path) {
  auto fd = openNoFollow(path.c_str(), OpenMode::ReadWriteCreate, kPidFileMode);
  if (!fd) return fail(fd.error());
  auto identity = identityOf(fd->get());
  if (!identity) return fail(identity.error());
  if (!identity->regular) return fail(Error::NotRegularFile);
  if (auto claimed = claim(path, fd->get()); !claimed) return fail(claimed.error());
  return std::move(*fd);
}

Status recordPid(int fd) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text - 1, currentProcessId());
  if (ec != std::errc()) return fail(Error::FormatError);
  *end++ = '\n';
  if (auto truncated = truncateToEmpty(fd); !truncated) return truncated;
  return writeFromStart(fd, std::string_view(text, static_cast<size_t>(end - text)));
}

}  // namespace

Result<PidFile> checkPidFile(std::string_view path) {
  PidFile pidFile;
  try {
    pidFile.path_.assign(path);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  if (!usablePath(path)) return pidFile;
  // A file we cannot open, or that is not a regular file, belongs to no
  // instance; writePidFile reports what is wrong with it.
  auto fd = openNoFollow(pidFile.path_.c_str(), OpenMode::ReadWrite);
  if (!fd) return pidFile;
  auto identity = identityOf(fd->get());
  if (!identity || !identity->regular) return pidFile;
  if (auto claimed = claim(pidFile.path_, fd->get()); !claimed) return fail(claimed.error());
  pidFile.fd_ = std::move(*fd);
  return pidFile;
}

Status writePidFile(PidFile& pidFile) {
  if (pidFile.path_.size() >= kMaxPidFilePath) return fail(Error::NameTooLong);
  if (!usablePath(pidFile.path_)) return fail(Error::InvalidArgument);
  if (pidFile.fd_.valid() && !pathNamesOpenFile(pidFile.path_, pidFile.fd_.get())) {
    pidFile.fd_.reset();
  }
  if (!pidFile.fd_.valid()) {
    auto fd = openAndClaim(pidFile.path_);
    if (!fd) return fail(fd.error());
    pidFile.fd_ = std::move(*fd);
  }
  if (auto recorded = recordPid(pidFile.fd_.get()); !recorded) return recorded;
  pidFile.written_ = true;
  return {};
}

void removePidFile(PidFile& pidFile) {
  if (!pidFile.fd_.valid()) return;
  if (pathNamesOpenFile(pidFile.path_, pidFile.fd_.get()) && !removeFile(pidFile.path_.c_str())) {
    (void)truncateToEmpty(pidFile.fd_.get());
  }
  pidFile.fd_.reset();
  pidFile.written_ = false;
}

}  // namespace tollbrook
