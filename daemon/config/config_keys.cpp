#include "daemon/config/config_keys.h"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "core/log.h"

namespace tollbrook {

namespace {

constexpr std::array<std::string_view, 32> kGlobalKeys = {
    "MaxHeaders",    "MaxHeaderBytes",   "MaxBodyBytes",   "MaxSignatures",
    "Syslog",        "SyslogFacility",   "LogLevel",       "AuthservID",
    "WorkerThreads", "MaxConnections",   "PidFile",        "User",
    "UMask",         "Foreground",       "DnsNameserver",  "DnsTimeout",
    "DnsRetries",    "DnsCacheSize",     "DnsNegativeTTL", "ZmqEndpoint",
    "ZmqTopic",      "StripAuthResults", "Mode",           "SignedHeaders",
    "SealDomain",    "SealSelector",     "SealKeyFile",    "LocalAuthMethods",
    "MaxKeyRecords", "MinimumKeyBits",   "On-DNSError",    "MaxEvaluationMs",
};

constexpr std::array<std::string_view, 5> kListenerKeys = {
    "Socket", "Mode", "SealDomain", "SealSelector", "SealKeyFile",
};

constexpr std::string_view kListenerPrefix = "listener:";

template <size_t N>
bool contains(const std::array<std::string_view, N>& keys, std::string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The copy on standard error gets the same control-byte replacement as the
// log line, so a key in the file cannot send escape sequences to a terminal.
void writeWithoutControlBytes(StderrWriter& out, std::string_view text) {
  while (!text.empty()) {
    auto bad = std::find_if(text.begin(), text.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    auto clean = static_cast<size_t>(bad - text.begin());
    out.write(text.substr(0, clean));
    if (clean == text.size()) return;
    out.write("_");
    text.remove_prefix(clean + 1);
  }
}

// A refusal goes to the log and, under the writer's lock, to standard error:
// it must reach the administrator's terminal even when the log goes to syslog.
void reportKeyRefusal(std::initializer_list<std::string_view> pieces) {
  if (logEnabled(Severity::Err)) {
    LogLine line(Severity::Err);
    for (std::string_view piece : pieces) line.append(piece);
    line.emit();
  }
  StderrWriter out;
  for (std::string_view piece : pieces) writeWithoutControlBytes(out, piece);
  out.write("\n");
}

Status checkListenerSectionKey(std::string_view section, std::string_view key) {
  if (isListenerKey(key)) return {};
  if (isGlobalKey(key)) {
    reportKeyRefusal({"config: [", section, "] key \"", key,
                      "\" is a global key with no effect here; move it to [global]. "
                      "Refusing to start"});
  } else {
    reportKeyRefusal(
        {"config: [", section, "] unrecognized key \"", key, "\" (typo?); refusing to start"});
  }
  return fail(Error::InvalidConfiguration);
}

Status checkOtherSectionKey(std::string_view section, std::string_view key) {
  if (isGlobalKey(key)) return {};
  reportKeyRefusal(
      {"config: [", section, "] unrecognized key \"", key, "\" (typo?); refusing to start"});
  return fail(Error::InvalidConfiguration);
}

}  // namespace

bool isListenerSection(std::string_view name) {
  return name.starts_with(kListenerPrefix);
}

bool isGlobalKey(std::string_view key) {
  return contains(kGlobalKeys, key);
}

bool isListenerKey(std::string_view key) {
  return contains(kListenerKeys, key);
}

std::span<const std::string_view> globalConfigKeys() {
  return kGlobalKeys;
}

std::span<const std::string_view> listenerConfigKeys() {
  return kListenerKeys;
}

Status validateConfigKeys(const IniDocument& document) {
  for (const IniSection& section : document.sections()) {
    bool listener = isListenerSection(section.name());
    for (const IniEntry& entry : section.entries()) {
      Status checked = listener ? checkListenerSectionKey(section.name(), entry.key)
                                : checkOtherSectionKey(section.name(), entry.key);
      if (!checked) return checked;
    }
  }
  return {};
}

}  // namespace tollbrook
