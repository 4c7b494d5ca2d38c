// The keys the configuration file may hold, and the step that refuses a file
// with a key the daemon would not read: a typo must not pass silently as a
// default. Pure lookups plus one validation pass; main thread.
#ifndef TOLLBROOK_DAEMON_CONFIG_CONFIG_KEYS_H_
#define TOLLBROOK_DAEMON_CONFIG_CONFIG_KEYS_H_

#include <span>
#include <string_view>

#include "base/error.h"
#include "daemon/config/ini_file.h"

namespace tollbrook {

// Sections named "listener:..." (case-sensitive) describe one listener each.
bool isListenerSection(std::string_view name);

bool isGlobalKey(std::string_view key);
bool isListenerKey(std::string_view key);

// Every key the global sections take, and every key a listener section takes,
// in the order the daemon knows them. Static storage; the documentation tests
// hold the manual page and the example file to these lists.
std::span<const std::string_view> globalConfigKeys();
std::span<const std::string_view> listenerConfigKeys();

// Checks every key of every section in file order. A listener section takes
// the listener keys; every other section (also one of unknown name) takes the
// global keys. The first offending key is logged at err, copied to standard
// error, and fails the check with InvalidConfiguration.
[[nodiscard]] Status validateConfigKeys(const IniDocument& document);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_CONFIG_KEYS_H_
