#include "daemon/reload/worker_wakeups.h"

#include <new>
#include <utility>

#include "platform/io.h"
#include "platform/process.h"
#include "platform/socket_options.h"

namespace tollbrook {

Result<std::vector<UniqueFd>> WorkerWakeups::create(size_t workers) {
  writeEnds_.clear();
  std::vector<UniqueFd> readEnds;
  std::vector<UniqueFd> writeEnds;
  try {
    readEnds.reserve(workers);
    writeEnds.reserve(workers);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  for (size_t i = 0; i < workers; ++i) {
    Result<PipeEnds> pipe = openCloseOnExecPipe();
    if (!pipe) return fail(pipe.error());
    if (Status made = setNonBlocking(pipe->readEnd.get()); !made) return fail(made.error());
    readEnds.push_back(std::move(pipe->readEnd));  // cannot throw: room was reserved
    writeEnds.push_back(std::move(pipe->writeEnd));
  }
  writeEnds_ = std::move(writeEnds);
  return readEnds;
}

void WorkerWakeups::wakeAll() const {
  static constexpr char kWakeByte[1] = {1};
  for (const UniqueFd& end : writeEnds_) {
    (void)writeSome(end.get(), std::string_view(kWakeByte, 1));
  }
}

}  // namespace tollbrook
