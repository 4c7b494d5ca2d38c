// Fuzz target for the configuration reader and builder: any bytes as the text
// of a configuration file go through parseIniText and buildDaemonConfig (the
// same parse readIniFile does after reading the file). Checks the shape of the
// document and the promises a built configuration makes to start-up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ascii.h"
#include "daemon/config/daemon_config.h"
#include "daemon/config/ini_file.h"
#include "dns/server_address.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool trimmed(std::string_view text) {
  return !text.empty() && !tollbrook::isAnySpace(text.front()) &&
         !tollbrook::isAnySpace(text.back());
}

void checkDocument(const tollbrook::IniDocument& document) {
  check(!document.sections().empty());
  check(document.sections().front().name() == tollbrook::kGlobalSection);
  for (const tollbrook::IniSection& section : document.sections()) {
    check(trimmed(section.name()) && section.name().find(']') == std::string_view::npos);
    check(document.section(section.name()) == &section);
    for (const tollbrook::IniEntry& entry : section.entries()) {
      check(trimmed(entry.key) && entry.key.find('=') == std::string_view::npos);
      check(entry.key.front() != '#' && entry.key.front() != ';' && entry.key.front() != '[');
      check(entry.value.empty() || trimmed(entry.value));
      check(section.value(entry.key) == entry.value);
    }
  }
}

void checkConfig(const tollbrook::DaemonConfig& config) {
  check(!config.listeners.empty());
  check(config.listeners.size() == config.listenerModes.size());
  for (size_t i = 0; i < config.listeners.size(); ++i) {
    const tollbrook::ListenAddress& address = config.listeners[i];
    if (address.isUnix) {
      check(!address.address.empty() && address.address.size() < tollbrook::kMaxUnixPathLength);
    } else {
      check(tollbrook::parseServerAddress(address.address, address.port).has_value());
    }
    for (size_t j = 0; j < i; ++j) check(!(config.listeners[j] == address));
  }
  check(!config.dnsNameservers.empty());
  for (const std::string& server : config.dnsNameservers) {
    check(tollbrook::parseServerAddress(server, 53).has_value());
  }
  check(config.minimumKeyBits >= tollbrook::kMinimumKeyBitsFloor);
  check(config.maxEvaluationMs >= 0);
  check(config.dnsTimeoutMs > 0 && config.dnsCacheSize > 0);
}

bool isBuildError(tollbrook::Error error) {
  using tollbrook::Error;
  switch (error) {
    case Error::InvalidConfiguration:
    case Error::InvalidMode:
    case Error::InvalidOnDnsError:
    case Error::MissingListenerSocket:
    case Error::InvalidListenerSocket:
    case Error::InvalidNameserver:
    case Error::OutOfMemory:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Refusals are logged: drop the log lines (this thread has no syslog socket).
  tollbrook::logSettings().sink = tollbrook::LogSink::Syslog;
  auto document =
      tollbrook::parseIniText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!document) return 0;
  checkDocument(*document);
  auto config = tollbrook::buildDaemonConfig(*document);
  if (config) {
    checkConfig(*config);
  } else {
    check(isBuildError(config.error()));
  }
  (void)tollbrook::logSettingsFromIni(*document);
  return 0;
}
