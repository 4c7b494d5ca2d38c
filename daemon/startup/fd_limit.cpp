#include "daemon/startup/fd_limit.h"

#include <algorithm>

#include "core/log.h"
#include "platform/limits.h"

namespace tollbrook {

namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace

uint64_t descriptorsNeeded(const DescriptorBudget& budget) {
  uint64_t perWorker = saturatingAdd(budget.maxConnections, budget.listeners);
  perWorker = saturatingAdd(perWorker, kWorkerFixedDescriptors);
  if (budget.zmqEnabled) perWorker = saturatingAdd(perWorker, kWorkerZmqDescriptors);
  return saturatingAdd(saturatingMultiply(budget.workers, perWorker), kProcessDescriptors);
}

void raiseFdLimit(uint64_t requested) {
  auto limit = descriptorLimit();
  if (!limit) return;
  uint64_t target = std::max(limit->soft, std::min(requested, limit->hard));
  if (target != limit->soft) {
    // A refusal (Linux caps the limit at fs.nr_open whatever the hard limit
    // says) leaves the old limit in force; the line below reports that one.
    (void)setDescriptorLimit({target, limit->hard});
    if (auto now = descriptorLimit()) limit = now;
  }
  logMessage(Severity::Info, "file descriptor limit set to ", limit->soft, " (requested ",
             requested, ", hard max ", limit->hard, ")");
}

}  // namespace tollbrook
