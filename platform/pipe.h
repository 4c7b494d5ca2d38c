// Pipes: two connected descriptors, both close-on-exec, each with its owner.
// The daemon and the DNS health monitor use them to wake a thread that waits on
// a descriptor. The caller owns both ends.
#ifndef TOLLBROOK_PLATFORM_PIPE_H_
#define TOLLBROOK_PLATFORM_PIPE_H_

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook {

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Errors are the platform's, mapped (ProcessFdQuotaExceeded, ...).
[[nodiscard]] Result<Pipe> openPipe();

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_PIPE_H_
