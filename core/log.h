// Tollbrook's logging layer: one process-wide LogSettings, a line formatter that
// produces classic local syslog lines (at most 1024 bytes, control bytes
// replaced by '_'), and two sinks: a datagram socket per thread connected to the
// local syslog daemon, or standard error. Formatting happens on the caller's
// stack and never allocates; a suppressed message costs one comparison.
#ifndef TOLLBROOK_CORE_LOG_H_
#define TOLLBROOK_CORE_LOG_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

enum class LogSink : uint8_t { Stderr, Syslog };

// RFC 5424 severities used by the system.
enum class Severity : uint8_t { Err = 3, Warning = 4, Info = 6, Debug = 7 };

// Written once during start-up, before any other thread exists; read without
// locking afterwards.
struct LogSettings {
  LogSink sink = LogSink::Stderr;
  uint8_t facility = 2;  // mail
  uint8_t level = 6;     // info: the most verbose severity emitted
  char ident[64] = "kestrelvault";
  uint8_t identLength = 12;
};

LogSettings& logSettings();
void setLogIdent(std::string_view ident);  // truncated to 64 bytes

// "mail" 2, "daemon" 3, "auth" 4, "local0".."local7" 16..23, anything else 2.
uint8_t syslogFacilityFromWord(std::string_view word);
// "err"/"error" 3, "warn"/"warning" 4, "debug" 7, anything else 6.
uint8_t logLevelFromWord(std::string_view word);

// Records the pid and, with the syslog sink, connects this thread's datagram socket; without
// one, or after a failed send, a line reconnects it (once a second at most) until closeThreadLog.
void openThreadLog();
// Closes this thread's syslog socket, if any.
void closeThreadLog();
// Whether this thread holds a connected syslog socket.
bool threadHasLogSocket();
// The local syslog socket path; tests point it at a socket of their own.
void setSyslogSocketPath(std::string_view path);

// Inserted values. Plain std::string_view pieces are written as they are (the
// line's control-byte replacement still applies).
struct SafeText {  // untrusted text: "-" when empty, '_' for bytes outside 0x21..0x7E
  std::string_view text;
};
struct ErrName {  // an error kind as its bare name; a plain Error is "error.{Name}"
  Error error;
};

// Writes untrusted text: "-" for an empty text, '_' for each byte outside 0x21..0x7E.
// Returns the number of bytes written into out (at most capacity).
size_t logSafeText(std::string_view text, char* out, size_t capacity);

// One log line under construction, on the caller's stack.
class LogLine {
 public:
  static constexpr size_t kMaxLine = 1024;

  explicit LogLine(Severity severity);
  void append(std::string_view text);
  void append(const char* text) { append(std::string_view(text)); }
  void append(char c) { append(std::string_view(&c, 1)); }  // a character, not its code
  void append(Error error);
  void append(ErrName name);
  void append(SafeText text);
  void appendSigned(int64_t value);
  void appendUnsigned(uint64_t value);
  template <std::integral T>
  void append(T value) {
    if constexpr (std::signed_integral<T>) {
      appendSigned(value);
    } else {
      appendUnsigned(value);
    }
  }
  // Replaces control bytes and hands the line to the sink.
  void emit();

  std::string_view text() const { return std::string_view(buffer_, length_); }

 private:
  char buffer_[kMaxLine];
  size_t length_ = 0;
};

inline bool logEnabled(Severity severity) {
  return logSettings().level >= static_cast<uint8_t>(severity);
}

template <typename... Pieces>
void logMessage(Severity severity, const Pieces&... pieces) {
  if (!logEnabled(severity)) return;
  LogLine line(severity);
  (line.append(pieces), ...);
  line.emit();
}

// Serialised writer on descriptor 2 for texts that must reach a terminal
// whatever the sink. The lock is recursive by thread, so a holder may nest.
class StderrWriter {
 public:
  StderrWriter();   // takes the lock
  ~StderrWriter();  // flushes and releases it
  StderrWriter(const StderrWriter&) = delete;
  StderrWriter& operator=(const StderrWriter&) = delete;
  void write(std::string_view text);
};

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_LOG_H_
