// Process limits: the open-descriptor limit (RLIMIT_NOFILE) and the number of
// CPUs, which sizes the worker pool. Plain values; main thread.
#ifndef TOLLBROOK_PLATFORM_LIMITS_H_
#define TOLLBROOK_PLATFORM_LIMITS_H_

#include <cstdint>
#include <optional>

#include "base/error.h"

namespace tollbrook {

// A limit without bound (RLIM_INFINITY) reads as the largest uint64_t.
struct DescriptorLimit {
  uint64_t soft = 0;
  uint64_t hard = 0;
};

[[nodiscard]] Result<DescriptorLimit> descriptorLimit();
[[nodiscard]] Status setDescriptorLimit(DescriptorLimit limit);

// The CPUs online: sysconf(_SC_NPROCESSORS_ONLN) on Linux, the sysctl
// "hw.ncpu" on FreeBSD. nullopt when the system does not say.
std::optional<uint32_t> onlineCpuCount();

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_LIMITS_H_
