// The daemon's main thread from reading its configuration to exit: the
// start-up steps in their order, the wait for signals (reload on SIGHUP, stop
// on SIGTERM and SIGINT) and the shutdown that drains the workers. One Daemon
// per process, created and used only by the main thread; it owns everything
// the workers share (the published settings, the pipes) and outlives them.
#ifndef TOLLBROOK_DAEMON_STARTUP_DAEMON_H_
#define TOLLBROOK_DAEMON_STARTUP_DAEMON_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/unique_fd.h"
#include "daemon/config/daemon_config.h"
#include "daemon/config/ini_file.h"
#include "daemon/handling/message_settings.h"
#include "daemon/reload/published_settings.h"
#include "daemon/reload/worker_wakeups.h"
#include "daemon/startup/pid_file.h"
#include "daemon/startup/worker_pool.h"
#include "platform/users.h"

namespace tollbrook {

class Daemon {
 public:
  // The configuration file is read from `configPath` at start-up and again
  // at every reload.
  explicit Daemon(std::string_view configPath);
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon();

  // Every start-up step up to serving mail and telling a waiting starter so.
  // The error that stops start-up is returned after its own line was logged
  // (the caller reports it as fatal); with the pid file written, a failure
  // from the privilege drop on removes it.
  [[nodiscard]] Status start();

  // The signal loop: reloads on SIGHUP until SIGTERM or SIGINT, then drains
  // the workers and shuts down. Returns when the daemon may exit with 0.
  void serve();

 private:
  // Start-up, in order.
  [[nodiscard]] Status readConfiguration();
  void applyLogSettings();
  [[nodiscard]] Status publishFirstConfiguration();
  void warnRaisedMinimumKeyBits() const;
  [[nodiscard]] Status publishSealIdentity();
  void applyUmask() const;
  [[nodiscard]] Status checkForRunningInstance();
  [[nodiscard]] Status detachUnlessForeground();
  [[nodiscard]] Status blockControlSignals() const;
  void startHealthMonitor();
  std::optional<UserIds> runtimeDirectoryOwner() const;
  void prepareRuntimeDirectories() const;
  [[nodiscard]] Status recordPid();
  uint32_t workerCount() const;
  void raiseDescriptorLimit(uint32_t workers) const;
  [[nodiscard]] Status dropPrivilegesIfConfigured();
  void announceStart() const;
  [[nodiscard]] Status startWorkers(uint32_t workers);
  void reportReadinessToStarter();

  // Running and stopping.
  void reload();
  void shutDown(int signal);

  std::string configPath_;
  std::optional<IniDocument> document_;
  DaemonConfig config_;
  HandlingStartup handlingStartup_;
  PublishedSettings settings_;
  WorkerWakeups wakeups_;
  PidFile pidFile_;
  UniqueFd startupPipe_;  // after detaching, until readiness is reported
  WorkerPool workers_;
};

// The process's main routine: the command line (without the program name),
// then start-up and the signal loop. Returns the error that ended start-up;
// success means a graceful shutdown.
[[nodiscard]] Status runDaemon(std::span<const char* const> arguments);

// The fatal report of a start-up failure: err "fatal: exiting on {error}" and
// "error: {error}" with a newline on standard error.
void reportFatalStartupError(Error error);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_DAEMON_H_
