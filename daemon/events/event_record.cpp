#include "daemon/events/event_record.h"

#include <algorithm>
#include <charconv>

namespace tollbrook {
namespace {

// Appends `text` at `out` and returns the position after it.
char* append(char* out, std::string_view text) {
  return std::copy(text.begin(), text.end(), out);
}

// The fixed parts of the record, in order.
constexpr std::string_view kBeforeAction = R"({"action":")";
constexpr std::string_view kBeforeResult = R"(","result":")";
constexpr std::string_view kBeforeInstance = R"(","instance":)";
constexpr std::string_view kClose = "}";

// The longest words fill the buffer exactly; nothing in the formatter checks
// lengths at run time because of this.
static_assert(kBeforeAction.size() + std::string_view("verify").size() + kBeforeResult.size() +
                  std::string_view("temperror").size() + kBeforeInstance.size() +
                  std::string_view("255").size() + kClose.size() ==
              kMaxEventRecordBytes);

}  // namespace

std::string_view eventActionWord(EventAction action) {
  switch (action) {
    case EventAction::Verify:
      return "verify";
    case EventAction::Seal:
      return "seal";
  }
  return {};
}

std::string_view eventResultWord(EventResult result) {
  switch (result) {
    case EventResult::None:
      return "none";
    case EventResult::Pass:
      return "pass";
    case EventResult::Fail:
      return "fail";
    case EventResult::Unknown:
      return "unknown";
    case EventResult::TempError:
      return "temperror";
  }
  return {};
}

EventRecord formatEventRecord(EventAction action, EventResult result, uint8_t instance) {
  EventRecord record;
  char* const begin = record.bytes.data();
  char* const end = begin + record.bytes.size();
  char* out = append(begin, kBeforeAction);
  out = append(out, eventActionWord(action));
  out = append(out, kBeforeResult);
  out = append(out, eventResultWord(result));
  out = append(out, kBeforeInstance);
  out = std::to_chars(out, end, static_cast<unsigned>(instance)).ptr;
  out = append(out, kClose);
  record.size = static_cast<std::size_t>(out - begin);
  return record;
}

}  // namespace tollbrook
