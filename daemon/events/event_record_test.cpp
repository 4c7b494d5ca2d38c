#include "daemon/events/event_record.h"

#include <gtest/gtest.h>

#include <string>

namespace tollbrook {
namespace {

TEST(EventRecord, FormatsEveryWordAndTheInstanceRange) {
  struct Case {
    EventAction action;
    EventResult result;
    uint8_t instance;
    std::string want;
  };
  const Case cases[] = {
      {EventAction::Verify, EventResult::None, 0,
       R"({"action":"verify","result":"none","instance":0})"},
      {EventAction::Verify, EventResult::Pass, 2,
       R"({"action":"verify","result":"pass","instance":2})"},
      {EventAction::Verify, EventResult::Fail, 10,
       R"({"action":"verify","result":"fail","instance":10})"},
      {EventAction::Verify, EventResult::Unknown, 50,
       R"({"action":"verify","result":"unknown","instance":50})"},
      {EventAction::Seal, EventResult::Pass, 3,
       R"({"action":"seal","result":"pass","instance":3})"},
      {EventAction::Seal, EventResult::TempError, 1,
       R"({"action":"seal","result":"temperror","instance":1})"},
      // The longest record fills the buffer exactly.
      {EventAction::Verify, EventResult::TempError, 255,
       R"({"action":"verify","result":"temperror","instance":255})"},
  };
  for (const Case& c : cases) {
    const EventRecord record = formatEventRecord(c.action, c.result, c.instance);
    EXPECT_EQ(record.text(), c.want)
        << "input " << eventActionWord(c.action) << "/" << eventResultWord(c.result) << "/"
        << int{c.instance} << ": got " << record.text() << ", want " << c.want;
  }
  EXPECT_EQ(formatEventRecord(EventAction::Verify, EventResult::TempError, 255).size,
            kMaxEventRecordBytes);
}

}  // namespace
}  // namespace tollbrook
