// The listening sockets of the daemon's workers, made by the main thread at
// start-up from the configured listeners. Each worker owns the sockets it is
// given. Main thread only.
#ifndef TOLLBROOK_DAEMON_WORKER_LISTENERS_H_
#define TOLLBROOK_DAEMON_WORKER_LISTENERS_H_

#include <span>

#include "base/error.h"
#include "base/unique_fd.h"
#include "daemon/config/listen_address.h"
#include "daemon/worker/worker.h"

namespace tollbrook {

// A listening socket for one configured listener: a unix path (a stale socket
// there is replaced) or a numeric address and port. Errors are the platform's
// (AddressInUse, AccessDenied, FileNotFound, NameTooLong, ...).
[[nodiscard]] Result<UniqueFd> createListenSocket(const ListenAddress& address);

// Gives every worker its sockets for every listener, in configuration order.
// An inet listener gets one socket per worker, all bound to the same address,
// and the kernel spreads connections over them. A unix path can be bound by
// one socket only, so a unix listener is one socket that every worker owns a
// duplicate of and watches: whichever worker is free takes a connection, and
// the others find nothing to accept. Stops at the first failure.
[[nodiscard]] Status addListeners(std::span<Worker* const> workers,
                                  std::span<const ListenAddress> addresses);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_WORKER_LISTENERS_H_
