// Support for the tests that run the built daemon as a process: starting it
// with its standard error in a file and reading its log lines from there,
// signals and bounded waits for its exit; a dnsmasq on port 53 of a loopback
// address of its own (the daemon always asks port 53); RSA key files made with
// OpenSSL; configuration texts; and messages through the test MTA. Test
// thread only.
#ifndef TOLLBROOK_TESTS_DAEMON_SUPPORT_H_
#define TOLLBROOK_TESTS_DAEMON_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "tests/milter_client.h"
#include "tests/program_run.h"

namespace tollbrook::testing {

// The built daemon.
std::string daemonPath();

// True when the test runs as root (binding port 53, dropping privileges).
bool runningAsRoot();

// One daemon process, started with `-c config` (or the arguments given) and
// with standard output and error appended to a file. Destroying it kills a
// daemon still running, and fails the test when the log holds a sanitizer
// report.
class DaemonProcess {
 public:
  explicit DaemonProcess(const ScratchDir& dir, std::vector<std::string> arguments);
  static DaemonProcess withConfig(const ScratchDir& dir, const std::string& configPath) {
    return DaemonProcess(dir, {"-c", configPath});
  }
  ~DaemonProcess();
  DaemonProcess(DaemonProcess&& other) noexcept;
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;
  DaemonProcess& operator=(DaemonProcess&&) = delete;

  pid_t pid() const { return pid_; }
  // Started and not yet seen to exit.
  bool alive() const;
  // Everything written so far.
  std::string log() const;
  // Waits up to timeoutMs until the log holds `text` at least `count` times.
  bool waitForLog(std::string_view text, size_t count = 1, int timeoutMs = 20000) const;
  // Lines of the log that contain `text`.
  std::vector<std::string> logLines(std::string_view text) const;
  // Waits until 127.0.0.1:port accepts a connection, or the daemon exits.
  bool waitUntilListening(uint16_t port, int timeoutMs = 20000) const;

  void signal(int number) const;
  // The exit status, -1 when ended by a signal, -2 when still running after
  // timeoutMs (it is then killed).
  int waitForExit(int timeoutMs = 60000);

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  int exitStatus_ = -3;
};

// dnsmasq answering on port 53 of a loopback address of its own
// (127.0.53.x), serving TXT records as dnsmasq --txt-record values. Needs
// root; running() is false (with failure() saying why) otherwise. Test
// processes running side by side claim their address with a lock file under
// /tmp held while the server runs, so that none takes another's server, whose
// records differ, for its own.
class PortFiftyThreeDns {
 public:
  explicit PortFiftyThreeDns(const std::map<std::string, std::string>& txtRecords);
  ~PortFiftyThreeDns();
  PortFiftyThreeDns(const PortFiftyThreeDns&) = delete;
  PortFiftyThreeDns& operator=(const PortFiftyThreeDns&) = delete;

  bool running() const { return pid_ > 0; }
  const std::string& address() const { return address_; }
  const std::string& failure() const { return failure_; }

 private:
  bool spawn(const std::map<std::string, std::string>& txtRecords);
  bool waitReady();
  void stop();

  pid_t pid_ = -1;
  std::string address_;
  UniqueFd addressLock_;  // the claim on address_, released with the server
  std::string failure_;
};

// A loopback address (127.0.53.x) nothing listens on, claimed with the same
// lock as the servers above for as long as the value lives, so that no test
// running beside this one starts a nameserver there: for a dead nameserver,
// or for a scripted one the test binds itself.
struct ClaimedLoopback {
  std::string address;
  UniqueFd lock;
};
ClaimedLoopback silentLoopbackAddress();

// An RSA key written as PEM to `path` with `mode`; returns the key record
// "v=DKIM1; k=rsa; p=..." that publishes it (empty on failure). Made with
// OpenSSL directly, not with our key code.
std::string writeRsaKey(const std::string& path, int bits, unsigned mode = 0600);

// A configuration file: `[global]` lines, then a listener section
// [listener:name] per entry of `listeners` ("Socket = ...\nMode = ...").
struct ConfigText {
  std::vector<std::string> global;
  std::vector<std::pair<std::string, std::vector<std::string>>> listeners;
  std::string text() const;
};

// The base of every test configuration: foreground, log to standard error at
// info (or debug), a pid file in `dir`, two workers.
ConfigText baseConfig(const ScratchDir& dir, std::string_view logLevel = "info");

// A plain message from alice@example.org; `tag` makes it unique.
MtaMessage sampleMessage(std::string_view tag = "1");

// The header change that inserts a field named `name`; nullopt without one.
std::optional<HeaderChange> insertedField(const EndOfMessage& answer, std::string_view name);

// A milter client connected to 127.0.0.1:port and past connect and helo.
std::optional<MilterClient> openMilterSession(uint16_t port, std::string& failure);

// The message as the MTA delivers it after the daemon's changes.
std::string deliveredText(const MtaMessage& message, const EndOfMessage& answer, bool leadingSpace);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DAEMON_SUPPORT_H_
