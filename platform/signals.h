// The process-control signals (SIGHUP, SIGINT, SIGTERM, SIGPIPE) and the two
// things done with them: blocking them in a thread, so that no thread but the
// one that asks ever takes one, and waiting for one with sigwait. The mask is
// per thread and inherited by threads started afterwards.
#ifndef TOLLBROOK_PLATFORM_SIGNALS_H_
#define TOLLBROOK_PLATFORM_SIGNALS_H_

#include <signal.h>

#include "base/error.h"

namespace tollbrook {

// A set of signal numbers. A plain value; copy it freely.
class SignalSet {
 public:
  // SIGHUP (reload), SIGINT and SIGTERM (stop), SIGPIPE (a vanished peer,
  // reported by the failing write instead).
  static SignalSet processControl();

  bool contains(int signal) const;
  const sigset_t& get() const { return set_; }

 private:
  SignalSet();
  sigset_t set_;
};

// Adds the set to the calling thread's blocked signals. Threads the caller
// starts afterwards inherit the mask.
[[nodiscard]] Status blockSignals(const SignalSet& set);

// Installs a SIGPIPE handler that does nothing (no flags, empty mask): a write
// to a peer that went away then fails with an error instead of ending the
// process. A handler rather than SIG_IGN, so a program run from ours starts
// with the default again. Process-wide; call at entry, before any thread.
[[nodiscard]] Status catchBrokenPipeSignal();

// Waits until one of the set's signals is pending for the process or this
// thread and returns its number. The set must be blocked in every thread.
[[nodiscard]] Result<int> waitForSignal(const SignalSet& set);

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_SIGNALS_H_
