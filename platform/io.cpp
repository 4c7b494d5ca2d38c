#include "platform/io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

// Runs one transfer call again while a signal interrupts it.
template <typename Call>
Result<size_t> retryingInterruptions(Call call) {
  for (;;) {
    const ssize_t count = call();
    if (count >= 0) return static_cast<size_t>(count);
    if (errno != EINTR) return fail(errorFromErrno(errno));
  }
}

}  // namespace

Result<size_t> readSome(int fd, std::span<char> buffer) {
  return retryingInterruptions([&] { return ::read(fd, buffer.data(), buffer.size()); });
}

Result<size_t> writeSome(int fd, std::string_view bytes) {
  return retryingInterruptions([&] { return ::write(fd, bytes.data(), bytes.size()); });
}

Result<size_t> sendSome(int fd, std::string_view bytes) {
  return retryingInterruptions(
      [&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
}

Status writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    auto written = writeSome(fd, bytes);
    if (!written) return fail(written.error());
    if (*written == 0) return fail(Error::UnexpectedEof);
    bytes.remove_prefix(*written);
  }
  return {};
}

}  // namespace tollbrook
