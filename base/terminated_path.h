// A path copied into a fixed NUL-terminated buffer for the system calls that
// open files. The copy lives in the object (on the caller's stack), so opening
// a file allocates nothing. Any thread; the object belongs to its caller.
#ifndef TOLLBROOK_BASE_TERMINATED_PATH_H_
#define TOLLBROOK_BASE_TERMINATED_PATH_H_

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

// The longest path the message reader, the key loader and the key test tool's
// seed reader hand to the system: the operating system's own limit on FreeBSD
// (PATH_MAX 1024 with the terminator), kept on every platform.
inline constexpr size_t kMaxPathLength = 1023;

template <size_t MaxLength = kMaxPathLength>
class TerminatedPath {
 public:
  // Copies `path`. Errors: NameTooLong (longer than MaxLength), InvalidArgument
  // (a NUL byte inside it, which would make the system open a different,
  // shorter path).
  [[nodiscard]] static Result<TerminatedPath> from(std::string_view path) {
    if (path.size() > MaxLength) return fail(Error::NameTooLong);
    if (path.find('\0') != std::string_view::npos) return fail(Error::InvalidArgument);
    TerminatedPath terminated;
    std::memcpy(terminated.bytes_.data(), path.data(), path.size());
    terminated.bytes_[path.size()] = '\0';
    return terminated;
  }

  const char* c_str() const { return bytes_.data(); }

 private:
  TerminatedPath() = default;

  std::array<char, MaxLength + 1> bytes_{};
};

}  // namespace tollbrook

#endif  // TOLLBROOK_BASE_TERMINATED_PATH_H_
