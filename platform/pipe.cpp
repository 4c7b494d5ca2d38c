#include "platform/pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

Result<Pipe> openPipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return fail(errorFromErrno(errno));
  return Pipe{.readEnd = UniqueFd(ends[0]), .writeEnd = UniqueFd(ends[1])};
}

}  // namespace tollbrook
