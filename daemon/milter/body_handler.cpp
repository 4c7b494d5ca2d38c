#include "daemon/milter/body_handler.h"

#include <new>

#include "core/log.h"

namespace tollbrook {
namespace {

bool fitsBodyLimit(const MilterConnection& connection, size_t chunkSize) {
  uint64_t max = connection.limits.maxBodyBytes;
  return max == 0 || connection.message.body.size() + chunkSize <= max;
}

// Grows the copy geometrically but never past the limit, so that a message near
// MaxBodyBytes does not hold twice the limit. std::string doubles its capacity
// on growth, so the last step is made by hand into a buffer of exactly the limit.
void appendWithinLimit(MilterConnection& connection, std::string_view chunk) {
  std::string& body = connection.message.body;
  uint64_t max = connection.limits.maxBodyBytes;
  if (max != 0 && body.size() + chunk.size() > body.capacity() && 2 * body.capacity() > max) {
    std::string grown;
    grown.reserve(static_cast<size_t>(max));
    grown.append(body);
    body.swap(grown);
  }
  body.append(chunk);
}

void abandonBody(MilterConnection& connection) {
  connection.message.bodyIncomplete = true;
  releaseBody(connection);  // a too-large message costs no more than the limit
}

}  // namespace

char handleBodyChunk(MilterConnection& connection, std::string_view chunk) {
  if (connection.message.bodyIncomplete) return 'c';
  if (!fitsBodyLimit(connection, chunk.size())) {
    abandonBody(connection);
    logMessage(Severity::Warning, "body exceeds MaxBodyBytes=", connection.limits.maxBodyBytes,
               " from ", connectionLabel(connection, LabelForm::Sanitised).text(),
               ": message will not be validated or sealed");
    return 'c';
  }
  try {
    appendWithinLimit(connection, chunk);
  } catch (const std::bad_alloc&) {
    abandonBody(connection);
    logMessage(Severity::Err, "body accumulation failed for ",
               connectionLabel(connection, LabelForm::Sanitised).text(), ": ", Error::OutOfMemory);
  }
  return 'c';
}

char handleBodyChunkSlot(void* /*context*/, MilterConnection& connection, std::string_view chunk) {
  return handleBodyChunk(connection, chunk);
}

}  // namespace tollbrook
