#include <cstring>

#include "base/ascii.h"
#include "core/log.h"

namespace tollbrook {

LogSettings& logSettings() {
  static LogSettings settings;
  return settings;
}

void setLogIdent(std::string_view ident) {
  LogSettings& settings = logSettings();
  size_t length = ident.size() < sizeof(settings.ident) ? ident.size() : sizeof(settings.ident);
  std::memset(settings.ident, 0, sizeof(settings.ident));
  if (length > 0) std::memcpy(settings.ident, ident.data(), length);
  settings.identLength = static_cast<uint8_t>(length);
}

uint8_t syslogFacilityFromWord(std::string_view word) {
  struct Facility {
    std::string_view word;
    uint8_t code;
  };
  static constexpr Facility kFacilities[] = {
      {"mail", 2},    {"daemon", 3},  {"auth", 4},    {"local0", 16},
      {"local1", 17}, {"local2", 18}, {"local3", 19}, {"local4", 20},
      {"local5", 21}, {"local6", 22}, {"local7", 23},
  };
  for (const auto& facility : kFacilities) {
    if (asciiEqualsIgnoreCase(word, facility.word)) return facility.code;
  }
  return 2;
}

uint8_t logLevelFromWord(std::string_view word) {
  struct Level {
    std::string_view word;
    uint8_t level;
  };
  static constexpr Level kLevels[] = {
      {"err", 3}, {"error", 3}, {"warn", 4}, {"warning", 4}, {"debug", 7},
  };
  for (const auto& level : kLevels) {
    if (asciiEqualsIgnoreCase(word, level.word)) return level.level;
  }
  return 6;
}

}  // namespace tollbrook
