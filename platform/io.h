// Reading and writing descriptors with the retries every caller needs: a call
// interrupted by a signal is made again, and writeAll goes on after a short
// write. The one place that knows EINTR. Owns nothing; any thread.
#ifndef TOLLBROOK_PLATFORM_IO_H_
#define TOLLBROOK_PLATFORM_IO_H_

#include <cstddef>
#include <span>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

// One read(2): the count read, 0 at end of file, or the error (WouldBlock when
// a non-blocking descriptor has nothing yet).
[[nodiscard]] Result<size_t> readSome(int fd, std::span<char> buffer);

// One write(2): the count written, or the error.
[[nodiscard]] Result<size_t> writeSome(int fd, std::string_view bytes);

// One send(2) on a connected socket, without SIGPIPE: a peer that went away
// gives BrokenPipe or ConnectionResetByPeer instead of a signal.
[[nodiscard]] Result<size_t> sendSome(int fd, std::string_view bytes);

// Writes every byte with write(2). A write that accepts nothing fails with
// UnexpectedEof rather than looping forever.
[[nodiscard]] Status writeAll(int fd, std::string_view bytes);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_IO_H_
