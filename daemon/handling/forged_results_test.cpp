// Removal of forged Authentication-Results: which fields are selected, the
// ordinals and order of the deletions sent to the MTA, what stays in the
// header list, and the lines logged.
#include "daemon/handling/forged_results.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/milter/replies.h"
#include "tests/dns_log_capture.h"
#include "tests/handling_unit_support.h"

namespace tollbrook::testing {
namespace {

TEST(ForgedResults, SelectsFieldsClaimingOurIdAndAnArcResultUnlessStrippingAll) {
  const struct {
    std::string value;
    bool stripAll;
    bool want;
  } cases[] = {
      {"mx.test; arc=pass", false, true},      {"  MX.TEST 1; spf=pass; ARC=fail", false, true},
      {"mx.test; spf=pass", false, false},     {"mx.test; spf=pass", true, true},
      {"mx.test.evil; arc=pass", true, false}, {"other.example; arc=pass", true, false},
      {"mx.test; none", false, false},         {"mx.test; spf=pass (arc=pass)", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isForgedResults(c.value, "mx.test", c.stripAll), c.want)
        << "input " << c.value << " strip=" << c.stripAll << ": got " << !c.want << ", want "
        << c.want;
  }
}

const char kTwoClaims[] =
    "Authentication-Results: other.example; arc=pass\r\n"
    "Authentication-Results: mx.test; spf=pass\r\n"
    "Received: from a by b\r\n"
    "authentication-results: mx.test; arc=pass\r\n"
    "From: a@example.org\r\n";

std::vector<std::string> names(const MilterConnection& connection) {
  std::vector<std::string> out;
  for (const HeaderField& field : connection.message.headers) {
    out.push_back(std::string(field.name) + ": " + std::string(field.value));
  }
  return out;
}

TEST(ForgedResults, DeletesLastToFirstByOrdinalAndOnlyWhatWasQueued) {
  const struct {
    bool stripAll;
    std::vector<std::string> wantReplies;
    std::vector<std::string> wantLeft;
    std::string wantLine;
  } cases[] = {
      {false,
       {"m 3 Authentication-Results"},
       {"Authentication-Results: other.example; arc=pass",
        "Authentication-Results: mx.test; spf=pass", "Received: from a by b",
        "From: a@example.org"},
       "info removed 1 forged Authentication-Results header(s) claiming authserv-id mx.test"},
      {true,
       {"m 3 Authentication-Results", "m 2 Authentication-Results"},
       {"Authentication-Results: other.example; arc=pass", "Received: from a by b",
        "From: a@example.org"},
       "info removed 2 forged Authentication-Results header(s) claiming authserv-id mx.test"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<MilterConnection> connection = connectionWith(kTwoClaims);
    LogCapture log;
    ASSERT_TRUE(removeForgedResults(*connection, "mx.test", c.stripAll)) << c.stripAll;
    EXPECT_EQ(takeReplies(*connection), c.wantReplies) << "strip=" << c.stripAll;
    EXPECT_EQ(names(*connection), c.wantLeft) << "strip=" << c.stripAll;
    EXPECT_EQ(log.take(), std::vector<std::string>{c.wantLine}) << "strip=" << c.stripAll;
  }
}

TEST(ForgedResults, WithoutChgHdrsNothingIsDeletedAndOneLineSaysSo) {
  std::unique_ptr<MilterConnection> connection = connectionWith(kTwoClaims, "", kSmfifAddHdrs);
  LogCapture log;
  ASSERT_TRUE(removeForgedResults(*connection, "mx.test", true));
  EXPECT_TRUE(takeReplies(*connection).empty());
  EXPECT_EQ(connection->message.headers.size(), 5u);
  EXPECT_EQ(log.take(), std::vector<std::string>{
                            "err cannot remove 2 forged Authentication-Results header(s) claiming "
                            "authserv-id mx.test: MTA did not grant SMFIF_CHGHDRS"});
}

TEST(ForgedResults, NoForgedFieldMeansNoReplyAndNoLine) {
  std::unique_ptr<MilterConnection> connection =
      connectionWith("Authentication-Results: other.example; arc=pass\r\nFrom: a@example.org\r\n");
  LogCapture log;
  ASSERT_TRUE(removeForgedResults(*connection, "mx.test", true));
  EXPECT_TRUE(takeReplies(*connection).empty());
  EXPECT_TRUE(log.take().empty());
}

// A deletion that cannot be queued is an error for the caller: the field
// would otherwise be delivered as if this host had written it. The deletion
// queued before it has left the list; the field that failed has not.
TEST(ForgedResults, ADeletionThatCannotBeQueuedIsReported) {
  std::unique_ptr<MilterConnection> connection = connectionWith(kTwoClaims);
  // Room for exactly one deletion ("m", index, name NUL, NUL: 4 + 1 + 4 + 23 + 1).
  const std::string filler(kMaxUnwrittenReplies - 5 - 33, 'x');
  const ReplyPacket packets[] = {{'x', filler}};
  ASSERT_TRUE(queueReplies(*connection, packets));
  LogCapture log;
  Status removed = removeForgedResults(*connection, "mx.test", true);
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error(), Error::OutputQueueFull);
  EXPECT_EQ(connection->message.headers.size(), 4u);
  EXPECT_EQ(connection->message.headers[1].value, "mx.test; spf=pass");
  EXPECT_EQ(log.take(), std::vector<std::string>{"info removed 1 forged Authentication-Results "
                                                 "header(s) claiming authserv-id mx.test"});
}

}  // namespace
}  // namespace tollbrook::testing
