// What another process has used so far: its CPU time (all threads, user and
// system) and its resident memory, read by the load generator from outside
// the process. Plain values owned by the caller; any thread.
//
// The Linux version reads /proc/<pid>/stat and /proc/<pid>/status; a BSD
// version would ask kvm_getprocs (ki_rusage, ki_rssize) behind the same two
// functions.
#ifndef TOLLBROOK_BENCH_PROCESS_USAGE_H_
#define TOLLBROOK_BENCH_PROCESS_USAGE_H_

#include <sys/types.h>

#include <optional>

namespace tollbrook::bench {

// User plus system CPU seconds of every thread of `pid`, at the kernel's tick
// resolution (10 ms on Debian); nullopt when the process is gone.
std::optional<double> processCpuSeconds(pid_t pid);

// Resident set size of `pid` in KiB; nullopt when the process is gone.
std::optional<long> processRssKib(pid_t pid);

}  // namespace tollbrook::bench

#endif  // TOLLBROOK_BENCH_PROCESS_USAGE_H_
