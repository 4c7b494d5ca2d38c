#include "tools/check/check_verdict.h"

#include <gtest/gtest.h>

#include <string>

namespace tollbrook::tools {
namespace {

// Every verdict word with and without -v, including internalerror, which no
// run of the built tool can reach on purpose.
TEST(VerdictLine, WordsAndVerboseDetail) {
  const std::string tooLong(300, 'x');
  struct Case {
    std::string_view what;
    VerdictLine line;
    std::string_view want;
  };
  const Case cases[] = {
      {"no chain", VerdictLine::none(), "none\n"},
      {"pass", VerdictLine::validated({{}, Cv::Pass, 3, FailureClass::None}, false), "pass\n"},
      {"pass -v", VerdictLine::validated({{}, Cv::Pass, 3, FailureClass::None}, true),
       "pass i=3 reason=-\n"},
      {"fail -v", VerdictLine::validated(chainFailure("ARC-Seal verification failed", 2), true),
       "fail i=2 reason=ARC-Seal verification failed\n"},
      {"dns trouble -v",
       VerdictLine::validated(
           chainTemporaryFailure("DNS lookup for the ARC-Seal key failed transiently", 1,
                                 FailureClass::DnsTransient),
           true),
       "temperror i=1 reason=DNS lookup for the ARC-Seal key failed transiently\n"},
      {"deadline",
       VerdictLine::validated(chainTemporaryFailure("evaluation deadline exceeded before the AMS "
                                                    "check",
                                                    50, FailureClass::Deadline),
                              false),
       "temperror\n"},
      {"internal",
       VerdictLine::validated(
           chainTemporaryFailure("internal error validating the AMS", 4, FailureClass::Internal),
           false),
       "internalerror\n"},
      {"internal -v",
       VerdictLine::validated(chainTemporaryFailure("internal error validating an ARC-Seal", 255,
                                                    FailureClass::Internal),
                              true),
       "internalerror i=255 reason=internal error validating an ARC-Seal\n"},
      {"broken chain", VerdictLine::brokenChain(Error::ChainGap, false), "fail\n"},
      {"broken chain -v", VerdictLine::brokenChain(Error::DuplicateHeader, true),
       "fail reason=broken ARC chain: duplicate header in instance\n"},
      {"detail over 256 bytes", VerdictLine::validated(chainFailure(tooLong, 1), true),
       "fail (detail unavailable)\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line.text(), c.want) << "input " << c.what;
  }
}

}  // namespace
}  // namespace tollbrook::tools
