// The open-descriptor limit: what the daemon needs, counted from the sizes of
// its parts, and raising the soft limit towards that. Main thread, at start-up
// before the privilege drop (an unprivileged process may still raise its soft
// limit up to the hard one, but no further).
#ifndef TOLLBROOK_DAEMON_STARTUP_FD_LIMIT_H_
#define TOLLBROOK_DAEMON_STARTUP_FD_LIMIT_H_

#include <cstdint>

namespace tollbrook {

// Descriptors every worker holds besides its listening sockets and
// connections: its event queue, both ends of its notify pipe (the main thread
// keeps the write end), the read end of the shutdown pipe (one shared end
// needs no more, but a worker may be handed a copy of its own), its syslog
// socket, and a UDP and a TCP socket for DNS (a truncated UDP answer is retried
// over TCP while the UDP socket stays open).
inline constexpr uint64_t kWorkerFixedDescriptors = 7;
// A worker's ZeroMQ context and PUB socket when an endpoint is configured:
// the context's and socket's mailboxes, the I/O thread's and the reaper's
// pollers, and the connection to the collector.
// tests/startup_fd_limit_test.cpp measures libzmq against this figure.
inline constexpr uint64_t kWorkerZmqDescriptors = 8;
// The process's own beyond the workers: standard streams, the pid file, the
// shutdown and start-up pipes, the main thread's syslog socket, the health
// monitor's sockets and wake-up pipe, and room for the seal key read at reload.
inline constexpr uint64_t kProcessDescriptors = 64;

struct DescriptorBudget {
  uint64_t workers = 0;
  uint64_t listeners = 0;
  uint64_t maxConnections = 0;  // per worker
  bool zmqEnabled = false;
};

// workers × (maxConnections + listeners + kWorkerFixedDescriptors
// [+ kWorkerZmqDescriptors]) + kProcessDescriptors, saturating at the largest
// uint64_t instead of wrapping.
uint64_t descriptorsNeeded(const DescriptorBudget& budget);

// Raises the soft RLIMIT_NOFILE to `requested`, or to the hard limit when that
// is lower. The soft limit is never lowered (an administrator may have set it
// higher on purpose) and the hard limit never changes. Logs info "file
// descriptor limit set to {soft} (requested {requested}, hard max {hard})" with
// the soft limit in force afterwards. Does nothing when the limit cannot be read.
void raiseFdLimit(uint64_t requested);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_FD_LIMIT_H_
