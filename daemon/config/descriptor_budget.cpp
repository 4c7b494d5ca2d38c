#include "daemon/config/descriptor_budget.h"

#include <limits>

namespace tollbrook {

namespace {

constexpr uint64_t kCeiling = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  if (a >= kCeiling || b >= kCeiling - a) return kCeiling;
  return a + b;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
  if (a != 0 && b > kCeiling / a) return kCeiling;
  return a * b;
}

}  // namespace

uint64_t descriptorsWanted(uint32_t workers, uint32_t maxConnections, size_t listeners) {
  uint64_t perWorker = saturatingAdd(
      saturatingAdd(maxConnections, static_cast<uint64_t>(listeners)), kWorkerDescriptorReserve);
  return saturatingAdd(saturatingMultiply(workers, perWorker), kProcessDescriptorReserve);
}

}  // namespace tollbrook
