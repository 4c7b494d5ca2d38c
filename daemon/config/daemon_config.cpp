#include "daemon/config/daemon_config.h"

#include <limits>
#include <new>
#include <utility>

#include "daemon/config/config_keys.h"
#include "daemon/config/config_values.h"
#include "dns/server_address.h"

namespace tollbrook {

namespace {

constexpr std::string_view kDefaultNameserver = "127.0.0.1";
constexpr uint16_t kDnsPort = 53;

// The seal identity: a listener section's setting overrides the [global] one,
// and among listener sections the last one in the file wins.
struct SealIdentity {
  std::optional<std::string_view> domain;
  std::optional<std::string_view> selector;
  std::optional<std::string_view> keyFile;

  void overrideFrom(const IniSection& section) {
    if (auto value = section.value("SealDomain")) domain = value;
    if (auto value = section.value("SealSelector")) selector = value;
    if (auto value = section.value("SealKeyFile")) keyFile = value;
  }
  void fillFrom(const IniSection& section) {
    if (!domain) domain = section.value("SealDomain");
    if (!selector) selector = section.value("SealSelector");
    if (!keyFile) keyFile = section.value("SealKeyFile");
  }
};

std::optional<std::string> optionalText(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  return std::string(*value);
}

// Replaces the default a DaemonConfig starts with when the key is present.
void setText(std::optional<std::string_view> value, std::string& field) {
  if (value) field.assign(*value);
}

template <typename T>
void setUnsigned(std::optional<std::string_view> value, T& field) {
  field = static_cast<T>(unsignedOrDefault(value, std::numeric_limits<T>::max(), field));
}

Result<ListenerMode> modeOr(std::optional<std::string_view> value, ListenerMode fallback) {
  if (!value) return fallback;
  auto mode = parseListenerModeWord(*value);
  if (!mode) return fail(Error::InvalidMode);
  return *mode;
}

// AuthservID to On-DNSError, in the order the daemon reads them.
Status readProcessValues(const IniSection& global, DaemonConfig& config) {
  setText(global.value("AuthservID"), config.authservId);
  setUnsigned(global.value("WorkerThreads"), config.workerThreads);
  setUnsigned(global.value("MaxConnections"), config.maxConnections);
  setText(global.value("PidFile"), config.pidFile);
  config.foreground = booleanOrDefault(global.value("Foreground"), config.foreground);
  config.user = optionalText(global.value("User"));
  if (auto value = global.value("UMask")) {
    auto umask = parseUmask(*value);
    if (!umask) return fail(umask.error());
    config.umask = *umask;
  }
  if (auto value = global.value("On-DNSError")) {
    auto policy = parseOnDnsErrorWord(*value);
    if (!policy) return fail(Error::InvalidOnDnsError);
    config.onDnsError = *policy;
  }
  return {};
}

void logMissingSocket(std::string_view section) {
  logMessage(Severity::Err, "config: [", SafeText{section},
             "] has no Socket setting -- a listener section must name an address");
}

void logInvalidSocket(std::string_view section, std::string_view value, Error error) {
  logMessage(Severity::Err, "config: [", SafeText{section}, "] Socket=", SafeText{value},
             " is not a valid listen address (", ErrName{error},
             ") -- expected inet:port@ip or unix:/path");
}

void logSocketClash(std::string_view section, std::string_view value, std::string_view other) {
  logMessage(Severity::Err, "config: [", SafeText{section}, "] Socket=", SafeText{value},
             " takes the same address as [", SafeText{other},
             "] -- each listener needs an address of its own");
}

// One listener section: its address (checked against the earlier ones) and
// its mode.
Status readListener(const IniDocument& document, size_t index, ListenerMode globalMode,
                    ListenAddressSet& taken, DaemonConfig& config) {
  const IniSection& section = document.sections()[index];
  auto socket = section.value("Socket");
  if (!socket) {
    logMissingSocket(section.name());
    return fail(Error::MissingListenerSocket);
  }
  auto address = parseListenAddress(*socket);
  if (!address && address.error() == Error::OutOfMemory) return fail(Error::OutOfMemory);
  if (!address) {
    logInvalidSocket(section.name(), *socket, address.error());
    return fail(Error::InvalidListenerSocket);
  }
  if (auto owner = taken.findClashOrAdd(*address, index)) {
    logSocketClash(section.name(), *socket, document.sections()[*owner].name());
    return fail(Error::InvalidListenerSocket);
  }
  auto mode = modeOr(section.value("Mode"), globalMode);
  if (!mode) return fail(mode.error());
  config.listeners.push_back(std::move(*address));
  config.listenerModes.push_back(*mode);
  return {};
}

Status readListeners(const IniDocument& document, ListenerMode globalMode, SealIdentity& identity,
                     DaemonConfig& config) {
  ListenAddressSet taken;
  for (size_t i = 0; i < document.sections().size(); ++i) {
    const IniSection& section = document.sections()[i];
    if (!isListenerSection(section.name())) continue;
    if (Status read = readListener(document, i, globalMode, taken, config); !read) return read;
    identity.overrideFrom(section);
  }
  if (config.listeners.empty()) {
    config.listeners.push_back(
        ListenAddress{std::string(kDefaultListenHost), kDefaultListenPort, false});
    config.listenerModes.push_back(globalMode);
  }
  return {};
}

void logEmptyNameserverList() {
  logMessage(Severity::Err,
             "config: [global] DnsNameserver names no nameserver -- expected IPv4 or IPv6 "
             "address literals separated by commas");
}

void logInvalidNameserver(std::string_view item) {
  logMessage(Severity::Err, "config: [global] DnsNameserver=", SafeText{item},
             " is not a valid nameserver address -- expected IPv4 or IPv6 address literals "
             "separated by commas");
}

// Each entry must be usable by a worker's resolver: one that cannot be built
// would only show when the first message needs a key, in the middle of
// serving mail.
Status readNameservers(const IniSection& global, DaemonConfig& config) {
  auto value = global.value("DnsNameserver");
  if (!value) {
    config.dnsNameservers.emplace_back(kDefaultNameserver);
    return {};
  }
  std::vector<std::string_view> items = splitList(*value);
  if (items.empty()) {
    logEmptyNameserverList();
    return fail(Error::InvalidNameserver);
  }
  for (std::string_view item : items) {
    if (!parseServerAddress(item, kDnsPort)) {
      logInvalidNameserver(item);
      return fail(Error::InvalidNameserver);
    }
  }
  config.dnsNameservers.assign(items.begin(), items.end());
  return {};
}

void readDnsValues(const IniSection& global, DaemonConfig& config) {
  // A timeout of 0 would make the resolver's sockets wait forever; like a
  // cache of 0 entries it means the default.
  uint32_t timeoutSeconds = kDefaultDnsTimeoutMs / 1000;
  setUnsigned(global.value("DnsTimeout"), timeoutSeconds);
  config.dnsTimeoutMs =
      timeoutSeconds == 0 ? kDefaultDnsTimeoutMs : secondsToMilliseconds(timeoutSeconds);
  setUnsigned(global.value("DnsRetries"), config.dnsRetries);
  setUnsigned(global.value("DnsCacheSize"), config.dnsCacheSize);
  if (config.dnsCacheSize == 0) config.dnsCacheSize = kDefaultDnsCacheSize;
  setUnsigned(global.value("DnsNegativeTTL"), config.dnsNegativeTtl);
}

void readMinimumKeyBits(const IniSection& global, DaemonConfig& config) {
  uint32_t bits = kMinimumKeyBitsFloor;
  setUnsigned(global.value("MinimumKeyBits"), bits);
  config.minimumKeyBits = bits < kMinimumKeyBitsFloor ? kMinimumKeyBitsFloor : bits;
  config.minimumKeyBitsRaised = bits < kMinimumKeyBitsFloor;
}

// DnsNameserver to ZmqTopic, in the order of the field table.
Status readMessageValues(const IniSection& global, DaemonConfig& config) {
  if (Status read = readNameservers(global, config); !read) return read;
  readDnsValues(global, config);
  setText(global.value("SignedHeaders"), config.signedHeaders);
  for (std::string_view method : splitList(global.value("LocalAuthMethods").value_or(""))) {
    config.localAuthMethods.emplace_back(method);
  }
  config.stripAuthResults =
      booleanOrDefault(global.value("StripAuthResults"), config.stripAuthResults);
  config.maxBodyBytes = byteSizeOrDefault(global.value("MaxBodyBytes"), config.maxBodyBytes);
  setUnsigned(global.value("MaxHeaders"), config.maxHeaders);
  config.maxHeaderBytes = byteSizeOrDefault(global.value("MaxHeaderBytes"), config.maxHeaderBytes);
  setUnsigned(global.value("MaxSignatures"), config.maxSignatures);
  readMinimumKeyBits(global, config);
  setUnsigned(global.value("MaxKeyRecords"), config.maxKeyRecords);
  // Trying no key record would fail every signature, and a sealing listener
  // would then seal good chains as cv=fail: 0 means the default.
  if (config.maxKeyRecords == 0) config.maxKeyRecords = kDefaultMaxKeyRecords;
  config.maxEvaluationMs =
      evaluationMsOrDefault(global.value("MaxEvaluationMs"), config.maxEvaluationMs);
  config.zmqEndpoint = optionalText(global.value("ZmqEndpoint"));
  setText(global.value("ZmqTopic"), config.zmqTopic);
  return {};
}

Result<DaemonConfig> build(const IniDocument& document) {
  if (Status valid = validateConfigKeys(document); !valid) return fail(valid.error());
  const IniSection& global = document.global();
  DaemonConfig config;
  if (Status read = readProcessValues(global, config); !read) return fail(read.error());
  auto globalMode = modeOr(global.value("Mode"), ListenerMode::Verify);
  if (!globalMode) return fail(globalMode.error());
  SealIdentity identity;
  if (Status read = readListeners(document, *globalMode, identity, config); !read) {
    return fail(read.error());
  }
  identity.fillFrom(global);
  config.sealDomain = optionalText(identity.domain);
  config.sealSelector = optionalText(identity.selector);
  config.sealKeyFile = optionalText(identity.keyFile);
  if (Status read = readMessageValues(global, config); !read) return fail(read.error());
  config.listeners.shrink_to_fit();
  config.listenerModes.shrink_to_fit();
  config.dnsNameservers.shrink_to_fit();
  config.localAuthMethods.shrink_to_fit();
  return config;
}

}  // namespace

std::string_view listenerModeWord(ListenerMode mode) {
  switch (mode) {
    case ListenerMode::Verify:
      return "verify";
    case ListenerMode::Seal:
      return "seal";
    case ListenerMode::Both:
      return "both";
  }
  return "verify";
}

std::optional<ListenerMode> parseListenerModeWord(std::string_view word) {
  for (ListenerMode mode : {ListenerMode::Verify, ListenerMode::Seal, ListenerMode::Both}) {
    if (word == listenerModeWord(mode)) return mode;
  }
  return std::nullopt;
}

Result<DaemonConfig> buildDaemonConfig(const IniDocument& document) {
  try {
    return build(document);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

LogSettings logSettingsFromIni(const IniDocument& document) {
  const IniSection& global = document.global();
  LogSettings settings;
  settings.sink =
      booleanOrDefault(global.value("Syslog"), true) ? LogSink::Syslog : LogSink::Stderr;
  settings.facility = syslogFacilityFromWord(global.value("SyslogFacility").value_or("mail"));
  settings.level = logLevelFromWord(global.value("LogLevel").value_or("info"));
  return settings;
}

}  // namespace tollbrook
