// The daemon's validated configuration, built from an IniDocument. The same
// builder runs at start-up and on every reload; a failed build leaves whatever
// configuration the caller already holds untouched. A DaemonConfig owns copies
// of its texts, so it outlives the document it came from. Built on the main
// thread; a finished DaemonConfig is only read.
#ifndef TOLLBROOK_DAEMON_CONFIG_DAEMON_CONFIG_H_
#define TOLLBROOK_DAEMON_CONFIG_DAEMON_CONFIG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arc/dns_error_policy.h"
#include "arc/validate_chain.h"
#include "base/error.h"
#include "core/log.h"
#include "daemon/config/ini_file.h"
#include "daemon/config/listen_address.h"

namespace tollbrook {

enum class ListenerMode : uint8_t {
  Verify,  // "verify": record the chain's verdict
  Seal,    // "seal": add a new ARC set
  Both,    // "both": verdict and seal
};

// The configuration word of a mode: "verify", "seal", "both".
std::string_view listenerModeWord(ListenerMode mode);
// The mode named by a configuration word, compared exactly; nullopt otherwise.
std::optional<ListenerMode> parseListenerModeWord(std::string_view word);

// Where the daemon listens when the file names no listener: 127.0.0.1 port
// 8895, in the [global] Mode.
inline constexpr std::string_view kDefaultListenHost = "127.0.0.1";
inline constexpr uint16_t kDefaultListenPort = 8895;

inline constexpr uint32_t kDefaultDnsTimeoutMs = 5000;
inline constexpr uint32_t kDefaultDnsCacheSize = 1000;
inline constexpr uint8_t kDefaultMaxKeyRecords = 3;

// The lower bound of MinimumKeyBits (RFC 8301): smaller settings are raised.
inline constexpr uint32_t kMinimumKeyBitsFloor = 1024;

struct DaemonConfig {
  std::vector<std::string> localAuthMethods;
  uint64_t maxBodyBytes = 10485760;
  uint64_t maxHeaders = 500;
  uint64_t maxHeaderBytes = 1048576;
  uint64_t maxSignatures = 20;
  std::string pidFile = "/var/run/tollbrook/tollbrook.pid";
  int64_t maxEvaluationMs = kDefaultMaxEvaluationMs;  // 0: no deadline; never negative
  std::optional<std::string> user;                    // "user" or "user:group"
  // At least one entry, each a valid nameserver address literal.
  std::vector<std::string> dnsNameservers;
  // listeners[i] runs in listenerModes[i]; both lists hold at least one entry.
  std::vector<ListenerMode> listenerModes;
  std::vector<ListenAddress> listeners;
  std::optional<std::string> sealDomain;
  std::string authservId = "localhost";
  std::optional<std::string> sealSelector;
  std::optional<std::string> sealKeyFile;
  std::string signedHeaders = "from:to:subject:date:message-id";
  std::optional<std::string> zmqEndpoint;  // absent: no event publishing
  std::string zmqTopic = "arc";
  uint32_t workerThreads = 0;  // 0: one worker per CPU
  uint32_t maxConnections = 256;
  uint32_t dnsTimeoutMs = kDefaultDnsTimeoutMs;  // never 0: a setting of 0 means the default
  uint32_t dnsCacheSize = kDefaultDnsCacheSize;  // never 0: a setting of 0 means the default
  uint32_t dnsNegativeTtl = 60;
  uint32_t minimumKeyBits = kMinimumKeyBitsFloor;
  bool minimumKeyBitsRaised = false;              // the file asked for fewer than 1024 bits
  std::optional<uint16_t> umask;                  // absent: the process umask is left alone
  uint8_t maxKeyRecords = kDefaultMaxKeyRecords;  // never 0: a setting of 0 means the default
  bool stripAuthResults = false;
  uint8_t dnsRetries = 2;
  bool foreground = false;
  OnDnsErrorPolicy onDnsError = OnDnsErrorPolicy::Tempfail;
};

// Validates the keys and builds the configuration, stopping at the first
// failure. Fails with InvalidConfiguration (an unknown or misplaced key),
// InvalidMode (Mode or UMask), InvalidOnDnsError, MissingListenerSocket,
// InvalidListenerSocket (a Socket that does not parse, or an address another
// listener already has), InvalidNameserver (a DnsNameserver entry that is not
// an address literal, or an empty list) or OutOfMemory. Failures other than
// InvalidMode, InvalidOnDnsError and OutOfMemory log their own line at
// severity err first; the key refusals are also copied to standard error.
[[nodiscard]] Result<DaemonConfig> buildDaemonConfig(const IniDocument& document);

// The log sink, facility and level from [global] Syslog, SyslogFacility and
// LogLevel (absent: syslog, mail, info). The ident is left at its default for
// the caller to set.
LogSettings logSettingsFromIni(const IniDocument& document);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_DAEMON_CONFIG_H_
