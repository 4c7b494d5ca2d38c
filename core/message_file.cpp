#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <span>
#include <string>

#include "base/terminated_path.h"
#include "base/unique_fd.h"
#include "core/message.h"
#include "platform/errno_map.h"
#include "platform/io.h"

namespace tollbrook {

namespace {

constexpr size_t kMaxMessageFileSize = 8 * 1024 * 1024;
constexpr size_t kFirstReadSize = 64 * 1024;

Result<UniqueFd> openForReading(const TerminatedPath<>& path) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

// The expected size from fstat, so a regular file is usually read into one
// allocation; pipes and special files report 0 and grow as they are read.
size_t initialCapacity(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || info.st_size <= 0) return kFirstReadSize;
  auto size = static_cast<size_t>(info.st_size);
  return (size > kMaxMessageFileSize ? kMaxMessageFileSize : size) + 1;
}

// Reads to end of file, at most one byte past the limit so an oversized file
// is recognised without reading all of it.
Result<std::string> readAll(int fd) {
  std::string bytes;
  try {
    bytes.resize(initialCapacity(fd));
    size_t used = 0;
    for (;;) {
      if (used == bytes.size()) {
        if (used > kMaxMessageFileSize) return fail(Error::FileTooBig);
        size_t grown = used * 2 > kMaxMessageFileSize + 1 ? kMaxMessageFileSize + 1 : used * 2;
        bytes.resize(grown);
      }
      auto got = readSome(fd, std::span(bytes).subspan(used));
      if (!got) return fail(got.error());
      if (*got == 0) break;
      used += *got;
    }
    if (used > kMaxMessageFileSize) return fail(Error::FileTooBig);
    bytes.resize(used);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return bytes;
}

}  // namespace

Result<Message> readMessageFile(std::string_view path) {
  auto terminated = TerminatedPath<>::from(path);
  if (!terminated) return fail(terminated.error());
  auto fd = openForReading(*terminated);
  if (!fd) return fail(fd.error());
  auto bytes = readAll(fd->get());
  if (!bytes) return fail(bytes.error());
  return parseMessage(*bytes);
}

}  // namespace tollbrook
