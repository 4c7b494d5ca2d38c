#include "tools/common/tool_support.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"

namespace tollbrook::tools {
namespace {

// A tool's log lines carry its name and no process id (the pid field is 0),
// and only err lines pass at the default level.
TEST(ToolLogging, StderrLinesUnderTheToolNameWithoutAPid) {
  useStderrLogging("tollbrook-seal");
  ::testing::internal::CaptureStderr();
  logMessage(Severity::Err, "header accumulation failed: ", Error::OutOfMemory);
  logMessage(Severity::Warning, "not shown");
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "tollbrook-seal[0]: header accumulation failed: error.OutOfMemory\n");
}

}  // namespace
}  // namespace tollbrook::tools
