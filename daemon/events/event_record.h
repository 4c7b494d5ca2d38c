// The JSON record of one ARC event, as the publisher sends it to the collector:
// {"action":"...","result":"...","instance":N}. Formatting is a pure function
// into a fixed buffer the caller owns; no allocation, any thread.
#ifndef TOLLBROOK_DAEMON_EVENTS_EVENT_RECORD_H_
#define TOLLBROOK_DAEMON_EVENTS_EVENT_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tollbrook {

// What happened: a verdict was recorded, or an ARC set was added (or skipped
// on a transient DNS failure).
enum class EventAction : uint8_t { Verify, Seal };

// The result word of the record. Seal events carry only None, Pass, Fail and
// TempError; Unknown is a verify verdict.
enum class EventResult : uint8_t { None, Pass, Fail, Unknown, TempError };

// "verify", "seal"; "none", "pass", "fail", "unknown", "temperror". Static storage.
std::string_view eventActionWord(EventAction action);
std::string_view eventResultWord(EventResult result);

// The longest record: action "verify", result "temperror", instance 255.
inline constexpr std::size_t kMaxEventRecordBytes = 55;

// One formatted record. The words come from a closed set and the instance is a
// byte, so the record always fits and needs no escaping.
struct EventRecord {
  std::array<char, kMaxEventRecordBytes> bytes;
  std::size_t size = 0;

  // A view into `bytes`: lives as long as this record.
  std::string_view text() const { return {bytes.data(), size}; }
};

EventRecord formatEventRecord(EventAction action, EventResult result, uint8_t instance);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_EVENTS_EVENT_RECORD_H_
