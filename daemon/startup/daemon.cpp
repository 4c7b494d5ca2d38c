// The start-up sequence. The order matters: the log settings come first so
// every later line goes where the administrator asked; the pid file is
// checked before detaching (its lock then passes to the daemon) and written
// after; threads start only after detaching (fork keeps one thread) and after
// the signals are blocked (they inherit the mask); privileges go after
// everything that needs root (directories, the descriptor limit) and before
// the first connection is accepted.
#include "daemon/startup/daemon.h"

#include <memory>
#include <utility>

#include "core/log.h"
#include "daemon/reload/nameserver_health.h"
#include "daemon/reload/runtime_config.h"
#include "daemon/reload/seal_key_loading.h"
#include "daemon/startup/daemonize.h"
#include "daemon/startup/fd_limit.h"
#include "daemon/startup/listener_exposure.h"
#include "daemon/startup/privileges.h"
#include "daemon/startup/runtime_dir.h"
#include "platform/limits.h"
#include "platform/signals.h"
#include "platform/umask.h"

namespace tollbrook {

namespace {

constexpr std::string_view kLogIdent = "tollbrook";
// Workers when the configuration says 0 and the system does not tell its CPUs.
constexpr uint32_t kFallbackWorkers = 4;

}  // namespace

Daemon::Daemon(std::string_view configPath) : configPath_(configPath) {}

Daemon::~Daemon() = default;

Status Daemon::start() {
  if (Status s = readConfiguration(); !s) return s;
  applyLogSettings();
  if (Status s = publishFirstConfiguration(); !s) return s;
  warnRaisedMinimumKeyBits();
  if (Status s = publishSealIdentity(); !s) return s;
  applyUmask();
  if (Status s = checkForRunningInstance(); !s) return s;
  if (Status s = detachUnlessForeground(); !s) return s;
  if (Status s = blockControlSignals(); !s) return s;
  startHealthMonitor();
  prepareRuntimeDirectories();
  if (Status s = recordPid(); !s) return s;
  const uint32_t workers = workerCount();
  raiseDescriptorLimit(workers);
  if (Status s = dropPrivilegesIfConfigured(); !s) return s;
  announceStart();
  if (Status s = startWorkers(workers); !s) return s;
  reportReadinessToStarter();
  return {};
}

Status Daemon::readConfiguration() {
  Result<IniDocument> document = readIniFile(configPath_);
  if (!document) {
    logMessage(Severity::Err, "failed to load config ", configPath_, ": ", document.error());
    return fail(document.error());
  }
  Result<DaemonConfig> config = buildDaemonConfig(*document);
  if (!config) {
    logMessage(Severity::Err, "config parse error: ", config.error());
    return fail(config.error());
  }
  document_.emplace(std::move(*document));
  config_ = std::move(*config);
  return {};
}

void Daemon::applyLogSettings() {
  logSettings() = logSettingsFromIni(*document_);
  setLogIdent(kLogIdent);
  openThreadLog();
}

// The settings each worker copies for its life: listener modes and the event
// collector. Then the first snapshot of what a reload may change.
Status Daemon::publishFirstConfiguration() {
  Result<HandlingStartup> handling = handlingStartupFrom(config_);
  if (!handling) return fail(handling.error());
  handlingStartup_ = std::move(*handling);
  Result<std::unique_ptr<RuntimeConfig>> snapshot = RuntimeConfig::copyFrom(config_);
  if (!snapshot) return fail(snapshot.error());
  if (Status published = settings_.publishConfig(std::move(*snapshot)); !published) {
    logMessage(Severity::Err, "failed to publish initial configuration: ", published.error());
    return published;
  }
  return {};
}

void Daemon::warnRaisedMinimumKeyBits() const {
  if (!config_.minimumKeyBitsRaised) return;
  logMessage(Severity::Warning, "MinimumKeyBits below the RFC 8301 minimum: using ",
             kMinimumKeyBitsFloor, " bits");
}

Status Daemon::publishSealIdentity() {
  Result<std::unique_ptr<SealIdentity>> identity = loadStartupSealIdentity(config_);
  if (!identity) return fail(identity.error());
  if (*identity == nullptr) return {};
  if (Status published = settings_.publishSealIdentity(std::move(*identity)); !published) {
    logMessage(Severity::Err, "failed to publish seal key: ", published.error());
    return published;
  }
  return {};
}

void Daemon::applyUmask() const {
  if (config_.umask) (void)setFileCreationMask(*config_.umask);
}

// The lock taken here stays with the daemon through both forks.
Status Daemon::checkForRunningInstance() {
  Result<PidFile> pidFile = checkPidFile(config_.pidFile);
  if (!pidFile) return fail(pidFile.error());
  pidFile_ = std::move(*pidFile);
  return {};
}

Status Daemon::detachUnlessForeground() {
  if (config_.foreground) return {};
  Result<UniqueFd> startupPipe = daemonize();
  if (!startupPipe) {
    logMessage(Severity::Err, "daemonize failed: ", startupPipe.error());
    return fail(startupPipe.error());
  }
  startupPipe_ = std::move(*startupPipe);
  openThreadLog();  // the lines now carry the daemon's pid
  return {};
}

Status Daemon::blockControlSignals() const {
  return blockSignals(SignalSet::processControl());
}

// The first snapshot was published before detaching, when no thread could be
// started; no worker reads it yet, so the monitor is attached in place.
void Daemon::startHealthMonitor() {
  RuntimeConfig* snapshot = settings_.currentConfig();
  snapshot->attachHealthMonitor(
      tollbrook::startHealthMonitor(snapshot->dnsNameservers, snapshot->dnsPort, ""));
}

std::optional<UserIds> Daemon::runtimeDirectoryOwner() const {
  if (!config_.user) return std::nullopt;
  Result<UserIds> ids = resolveUserSpec(*config_.user);
  if (!ids) {
    logMessage(Severity::Warning, "resolving '", *config_.user,
               "' for runtime directories failed: ", ids.error());
    return std::nullopt;
  }
  return *ids;
}

void Daemon::prepareRuntimeDirectories() const {
  const std::optional<UserIds> owner = runtimeDirectoryOwner();
  ensureRuntimeDir(config_.pidFile, owner);
  for (const ListenAddress& listener : config_.listeners) {
    if (listener.isUnix) ensureRuntimeDir(listener.address, owner);
  }
}

// A pid file that cannot be written costs the administrator a convenience,
// not the mail: start-up goes on. A lock another process took since our
// check is another instance that won the race, and then this one must stop.
Status Daemon::recordPid() {
  Status written = writePidFile(pidFile_);
  if (written) return {};
  if (written.error() == Error::AlreadyRunning) return written;
  logMessage(Severity::Err, "pid file write failed: ", written.error());
  return {};
}

uint32_t Daemon::workerCount() const {
  if (config_.workerThreads != 0) return config_.workerThreads;
  return onlineCpuCount().value_or(kFallbackWorkers);
}

// Counted from what every worker really opens, ZeroMQ included, so a busy
// worker does not run out of descriptors below its MaxConnections.
void Daemon::raiseDescriptorLimit(uint32_t workers) const {
  DescriptorBudget budget;
  budget.workers = workers;
  budget.listeners = config_.listeners.size();
  budget.maxConnections = config_.maxConnections;
  budget.zmqEnabled = config_.zmqEndpoint.has_value();
  raiseFdLimit(descriptorsNeeded(budget));
}

Status Daemon::dropPrivilegesIfConfigured() {
  if (!config_.user) return {};
  Status dropped = dropPrivileges(*config_.user);
  if (dropped) return {};
  logMessage(Severity::Err, "privilege drop to '", *config_.user, "' failed: ", dropped.error());
  if (pidFile_.written()) removePidFile(pidFile_);
  return dropped;
}

void Daemon::announceStart() const {
  logMessage(Severity::Info, "Tollbrook starting, AuthservID=", config_.authservId,
             ", MinimumKeyBits=", config_.minimumKeyBits, ", listeners=", config_.listeners.size());
  for (size_t i = 0; i < config_.listenerModes.size(); ++i) {
    logMessage(Severity::Info, "listener[", i,
               "] mode=", listenerModeWord(config_.listenerModes[i]));
    warnIfSealingListenerExposed(config_, i);
  }
}

Status Daemon::startWorkers(uint32_t workers) {
  Status started = workers_.start(WorkerPoolPlan{
      .workers = workers,
      .config = config_,
      .handling = handlingStartup_,
      .settings = settings_,
      .wakeups = wakeups_,
  });
  if (started) return {};
  removePidFile(pidFile_);
  return started;
}

void Daemon::reportReadinessToStarter() {
  if (!startupPipe_.valid()) return;
  // A starter that has gone (killed, or tired of waiting) cannot be told; the
  // daemon serves all the same.
  (void)reportReadiness(std::move(startupPipe_));
}

}  // namespace tollbrook
