#include "bench/process_usage.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tollbrook::bench {
namespace {

std::optional<std::string> procFile(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::optional<double> processCpuSeconds(pid_t pid) {
  std::optional<std::string> stat = procFile(pid, "stat");
  if (!stat) return std::nullopt;
  // The command name in parentheses may hold spaces; the fields after it are
  // plain numbers: state is field 3, utime field 14 and stime field 15.
  const size_t nameEnd = stat->rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(nameEnd + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return std::nullopt;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<long> processRssKib(pid_t pid) {
  std::optional<std::string> status = procFile(pid, "status");
  if (!status) return std::nullopt;
  const size_t at = status->find("\nVmRSS:");
  if (at == std::string::npos) return std::nullopt;
  return std::strtol(status->c_str() + at + 7, nullptr, 10);
}

}  // namespace tollbrook::bench
