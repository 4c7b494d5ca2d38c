#include <charconv>
#include <cstring>

#include "core/log.h"
#include "core/log_sink.h"

namespace tollbrook {

size_t logSafeText(std::string_view text, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  if (text.empty()) {
    out[0] = '-';
    return 1;
  }
  size_t count = text.size() < capacity ? text.size() : capacity;
  for (size_t i = 0; i < count; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    out[i] = (byte >= 0x21 && byte <= 0x7E) ? text[i] : '_';
  }
  return count;
}

LogLine::LogLine(Severity severity) {
  const LogSettings& settings = logSettings();
  append("<");
  appendUnsigned(static_cast<uint64_t>(settings.facility) * 8 + static_cast<uint8_t>(severity));
  append(">");
  append(std::string_view(settings.ident, settings.identLength));
  append("[");
  appendSigned(threadLogPid());
  append("]: ");
}

// Overflow keeps what fits and drops the rest: a log line is never split.
void LogLine::append(std::string_view text) {
  size_t room = kMaxLine - length_;
  size_t count = text.size() < room ? text.size() : room;
  if (count > 0) std::memcpy(buffer_ + length_, text.data(), count);
  length_ += count;
}

void LogLine::append(Error error) {
  append("error.");
  append(errorName(error));
}

void LogLine::append(ErrName name) {
  append(errorName(name.error));
}

void LogLine::append(SafeText text) {
  length_ += logSafeText(text.text, buffer_ + length_, kMaxLine - length_);
}

void LogLine::appendSigned(int64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  append(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void LogLine::appendUnsigned(uint64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  append(std::string_view(digits, static_cast<size_t>(end - digits)));
}

void LogLine::emit() {
  for (size_t i = 0; i < length_; ++i) {
    auto byte = static_cast<unsigned char>(buffer_[i]);
    if (byte < 0x20 || byte == 0x7F) buffer_[i] = '_';
  }
  deliverLogLine(text());
}

}  // namespace tollbrook
