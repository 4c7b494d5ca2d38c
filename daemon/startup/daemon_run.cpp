// The running daemon's main thread: the signal loop, the reload it runs on
// SIGHUP, and the shutdown order after SIGTERM or SIGINT. No signal handler
// does any work; every signal is taken here with sigwait.
#include <signal.h>

#include "core/log.h"
#include "daemon/reload/reload.h"
#include "daemon/startup/command_line.h"
#include "daemon/startup/daemon.h"
#include "platform/signals.h"

namespace tollbrook {

void Daemon::serve() {
  const SignalSet signals = SignalSet::processControl();
  for (;;) {
    Result<int> signal = waitForSignal(signals);
    if (!signal) {
      // Only a set the system refuses makes sigwait fail, and then it would
      // fail forever: stop as if asked, rather than spin.
      logMessage(Severity::Err, "waiting for signals failed: ", signal.error());
      return shutDown(0);
    }
    if (*signal == SIGHUP) {
      reload();
    } else if (*signal == SIGTERM || *signal == SIGINT) {
      return shutDown(*signal);
    }
    // SIGPIPE is blocked only so that no thread takes it; nothing to do.
  }
}

void Daemon::reload() {
  reloadConfiguration(ReloadTarget{configPath_, settings_, wakeups_});
}

// Keys are released once no worker can sign with them, and the snapshots
// (with the health monitors they hold) after the keys.
void Daemon::shutDown(int signal) {
  logMessage(Severity::Info, "shutdown signal ", signal, " received, draining connections...");
  workers_.beginDrain();
  workers_.joinAll();
  settings_.releaseSealIdentities();
  wakeups_.close();
  (void)settings_.generations().createAcknowledgements(0);  // frees the entries
  settings_.releaseConfigs();
  workers_.closeShutdownPipe();
  removePidFile(pidFile_);
}

Status runDaemon(std::span<const char* const> arguments) {
  Result<std::string_view> configPath = configPathFromArguments(arguments);
  if (!configPath) return fail(configPath.error());
  Daemon daemon(*configPath);
  if (Status started = daemon.start(); !started) return started;
  daemon.serve();
  return {};
}

void reportFatalStartupError(Error error) {
  logMessage(Severity::Err, "fatal: exiting on ", error);
  StderrWriter writer;
  writer.write("error: error.");
  writer.write(errorName(error));
  writer.write("\n");
}

}  // namespace tollbrook
