#include "platform/signals.h"

#include <pthread.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace tollbrook {

SignalSet::SignalSet() {
  sigemptyset(&set_);
}

SignalSet SignalSet::processControl() {
  SignalSet set;
  for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) sigaddset(&set.set_, signal);
  return set;
}

bool SignalSet::contains(int signal) const {
  return sigismember(&set_, signal) == 1;
}

Status blockSignals(const SignalSet& set) {
  // pthread_sigmask reports its error as the return value, not in errno.
  if (int error = pthread_sigmask(SIG_BLOCK, &set.get(), nullptr); error != 0) {
    return fail(errorFromErrno(error));
  }
  return {};
}

namespace {

extern "C" void ignoreSignal(int) {}

}  // namespace

Status catchBrokenPipeSignal() {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  action.sa_flags = 0;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPIPE, &action, nullptr) != 0) return fail(errorFromErrno(errno));
  return {};
}

Result<int> waitForSignal(const SignalSet& set) {
  for (;;) {
    int signal = 0;
    const int error = sigwait(&set.get(), &signal);
    if (error == 0) return signal;
    if (error != EINTR) return fail(errorFromErrno(error));
  }
}

}  // namespace tollbrook
