#include "platform/limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

uint64_t fromRlim(rlim_t value) {
  return value == RLIM_INFINITY ? UINT64_MAX : value;
}

rlim_t toRlim(uint64_t value) {
  return value == UINT64_MAX || value >= RLIM_INFINITY ? RLIM_INFINITY : static_cast<rlim_t>(value);
}

}  // namespace

Result<DescriptorLimit> descriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return fail(errorFromErrno(errno));
  return DescriptorLimit{fromRlim(limit.rlim_cur), fromRlim(limit.rlim_max)};
}

Status setDescriptorLimit(DescriptorLimit limit) {
  rlimit value{toRlim(limit.soft), toRlim(limit.hard)};
  if (::setrlimit(RLIMIT_NOFILE, &value) != 0) return fail(errorFromErrno(errno));
  return {};
}

std::optional<uint32_t> onlineCpuCount() {
#if defined(__FreeBSD__)
  int count = 0;
  size_t size = sizeof count;
  if (::sysctlbyname("hw.ncpu", &count, &size, nullptr, 0) != 0 || count <= 0) return std::nullopt;
  return static_cast<uint32_t>(count);
#else
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (count <= 0 || count > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(count);
#endif
}

}  // namespace tollbrook
