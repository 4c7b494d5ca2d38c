#include "daemon/milter/milter_connection.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

std::string packet(std::string_view name, std::string_view value, bool trailingNul = true) {
  std::string data(name);
  data.push_back('\0');
  data.append(value);
  if (trailingNul) data.push_back('\0');
  return data;
}

TEST(HeaderPacket, LeadingSpaceFollowsTheNegotiatedFlag) {
  struct Case {
    bool leadSpcNegotiated;
    std::string data;
    std::string_view wantValue;
    bool wantLeadingSpace;
  } cases[] = {
      {true, packet("Subject", " x"), "x", true},
      {true, packet("Subject", "x"), "x", false},
      {true, packet("Subject", ""), "", false},
      {true, packet("Subject", " "), "", true},
      {true, packet("Subject", "  x"), " x", true},
      {false, packet("Subject", " x"), " x", true},
      {false, packet("Subject", "x"), "x", true},
      {true, packet("Subject", " x", false), "x", true},              // no closing NUL
      {true, packet("Subject", std::string(" a\0b", 4)), "a", true},  // value ends at NUL
      {true, packet("Subject", " a\r\n\tb"), "a\r\n\tb", true},       // folds kept
      // Folds as Postfix sends them, with bare LF, are stored with CR LF.
      {true, packet("Subject", " a\n\tb\r\n c\n d"), "a\r\n\tb\r\n c\r\n d", true},
      {true, packet("Subject", " \n\n\r\n"), "\r\n\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    MilterConnection connection;
    connection.negotiatedProtocolFlags = c.leadSpcNegotiated ? kSmfipHdrLeadSpc : 0;
    accumulateHeaderPacket(connection, c.data);
    ASSERT_EQ(connection.message.headers.size(), 1u);
    const HeaderField& field = connection.message.headers[0];
    EXPECT_EQ(field.name, "Subject");
    EXPECT_EQ(field.value, c.wantValue) << "packet " << ::testing::PrintToString(c.data);
    EXPECT_EQ(field.leadingSpace, c.wantLeadingSpace)
        << "packet " << ::testing::PrintToString(c.data);
    EXPECT_EQ(connection.message.headerBytes, 7 + c.wantValue.size());
  }
}

TEST(HeaderPacket, WithoutNulNothingIsStored) {
  MilterConnection connection;
  accumulateHeaderPacket(connection, "Subject: hello");
  EXPECT_TRUE(connection.message.headers.empty());
  EXPECT_FALSE(connection.message.headerLimitReached);
}

TEST(HeaderAccumulation, ViewsSurviveLaterAppends) {
  MilterConnection connection;
  for (int i = 0; i < 2000; ++i) {
    std::string value = "value number " + std::to_string(i);
    storeHeader(connection, "X-Field", value, true);
  }
  ASSERT_EQ(connection.message.headers.size(), 2000u);
  EXPECT_EQ(connection.message.headers[0].value, "value number 0");
  EXPECT_EQ(connection.message.headers[1999].value, "value number 1999");
  EXPECT_EQ(connection.message.headers[7].name, "X-Field");
}

TEST(HeaderAccumulation, ViewsSurviveWhenLargeAndSmallFieldsAlternate) {
  // Small fields share blocks; large ones get their own. Every view must stay put.
  MilterConnection connection;
  std::vector<std::string> values;
  for (int i = 0; i < 300; ++i) {
    size_t size = i % 3 == 0 ? 1500 + i : i % 3 == 1 ? 0 : 40;
    values.push_back(std::string(size, static_cast<char>('a' + i % 26)));
    ASSERT_EQ(storeHeader(connection, i % 2 ? "" : "X-Field", values.back(), true),
              HeaderStore::Stored);
  }
  ASSERT_EQ(connection.message.headers.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(connection.message.headers[i].value, values[i]) << "field " << i;
    EXPECT_EQ(connection.message.headers[i].name, i % 2 ? "" : "X-Field") << "field " << i;
  }
}

TEST(HeaderAccumulation, MaxHeadersStopsTheMessageOnceAndResetClearsIt) {
  MilterConnection connection;
  connection.limits.maxHeaders = 2;
  connection.daemonName = "mta one";
  connection.setPeerLabel("127.0.0.1:4000");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(storeHeader(connection, "A", "1", true), HeaderStore::Stored);
  EXPECT_EQ(storeHeader(connection, "B", "22", true), HeaderStore::Stored);
  EXPECT_EQ(storeHeader(connection, "C", "3", true), HeaderStore::LimitReached);
  EXPECT_EQ(storeHeader(connection, "D", "4", true), HeaderStore::Dropped);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(connection.message.headers.size(), 2u);
  EXPECT_TRUE(connection.message.headerLimitReached);
  EXPECT_EQ(log,
            "kestrelvault[0]: header limit reached (2 headers, 5 bytes) from "
            "mta_one[127.0.0.1:4000]: message will not be authenticated\n");

  resetMessage(connection);
  EXPECT_FALSE(connection.message.headerLimitReached);
  storeHeader(connection, "A", "1", true);
  EXPECT_EQ(connection.message.headers.size(), 1u);
}

TEST(HeaderAccumulation, MaxHeaderBytesAllowsExactlyTheLimit) {
  struct Case {
    uint64_t maxHeaderBytes;
    size_t wantStored;
  } cases[] = {{0, 3}, {12, 3}, {11, 2}, {4, 1}, {3, 0}};
  for (const Case& c : cases) {
    MilterConnection connection;
    connection.limits.maxHeaderBytes = c.maxHeaderBytes;
    ::testing::internal::CaptureStderr();
    storeHeader(connection, "Ab", "cd", true);    // 4 bytes
    storeHeader(connection, "Ef", "ghij", true);  // 6 bytes
    storeHeader(connection, "K", "l", true);      // 2 bytes
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(connection.message.headers.size(), c.wantStored)
        << "MaxHeaderBytes=" << c.maxHeaderBytes;
    EXPECT_EQ(connection.message.headerLimitReached, c.wantStored < 3)
        << "MaxHeaderBytes=" << c.maxHeaderBytes;
  }
}

TEST(HeaderAccumulation, AllocationFailureMarksTheBlockIncomplete) {
  const std::string value(100, 's');
  for (int64_t k = 0;; ++k) {
    MilterConnection connection;  // built before allocations start failing
    ::testing::internal::CaptureStderr();
    bool failed;
    HeaderStore outcome;
    {
      testing::ScopedAllocationFailure guard(k);
      outcome = storeHeader(connection, "Subject", value, true);
      failed = testing::failedAllocations() > 0;
    }
    std::string log = ::testing::internal::GetCapturedStderr();
    if (!failed) {
      ASSERT_EQ(connection.message.headers.size(), 1u);
      EXPECT_EQ(connection.message.headers[0].value, value);
      break;
    }
    EXPECT_EQ(outcome, HeaderStore::OutOfMemory) << "allocation " << k;
    EXPECT_TRUE(connection.message.headerLimitReached) << "allocation " << k;
    EXPECT_TRUE(connection.message.headers.empty());
    EXPECT_EQ(connection.message.headerBytes, 0u);
    EXPECT_NE(log.find("header accumulation failed: error.OutOfMemory"), std::string::npos) << log;
  }
}

TEST(ResetMessage, KeepsConnectionDataAndDropsMessageData) {
  MilterConnection connection;
  connection.clientAddr = "192.0.2.1";
  connection.daemonName = "mta";
  connection.helo = "client.example";
  connection.connectAddress = "192.0.2.1";
  connection.connectFamily = '4';
  connection.negotiatedActions = kSmfifAddHdrs;
  connection.message.mailAddr = "a@example.org";
  connection.message.rcptAddr = "b@example.org";
  connection.message.queueId = "ABC123";
  connection.message.envelopeSender = "<a@example.org>";
  connection.message.recipients = {"<b@example.org>"};
  connection.message.body = std::string(100000, 'b');
  connection.message.bodyIncomplete = true;
  for (int i = 0; i < 100; ++i) storeHeader(connection, "Subject", "x", true);

  resetMessage(connection);
  EXPECT_EQ(connection.clientAddr, "192.0.2.1");
  EXPECT_EQ(connection.daemonName, "mta");
  EXPECT_EQ(connection.helo, "client.example");
  EXPECT_EQ(connection.connectAddress, "192.0.2.1");
  EXPECT_EQ(connection.connectFamily, '4');
  EXPECT_EQ(connection.negotiatedActions, kSmfifAddHdrs);
  EXPECT_FALSE(connection.message.mailAddr || connection.message.rcptAddr ||
               connection.message.queueId || connection.message.envelopeSender);
  EXPECT_TRUE(connection.message.recipients.empty());
  EXPECT_TRUE(connection.message.body.empty());
  EXPECT_TRUE(connection.message.headers.empty());
  EXPECT_EQ(connection.message.headerBytes, 0u);
  EXPECT_FALSE(connection.message.bodyIncomplete);
  // An idle connection must not keep the last message's buffers.
  EXPECT_EQ(connection.message.body.capacity(), std::string().capacity());
  EXPECT_EQ(connection.message.headers.capacity(), 0u);
  EXPECT_EQ(connection.message.recipients.capacity(), 0u);
}

TEST(ConnectionLabel, NamesDaemonAndPeer) {
  struct Case {
    std::optional<std::string> daemonName;
    std::string_view peer;
    bool sanitised;
    std::string_view want;
  } cases[] = {
      {std::nullopt, "", true, "unknown[local]"},
      {"mta", "10.0.0.1:25", true, "mta[10.0.0.1:25]"},
      {"", "x y", true, "-[x_y]"},
      {"m\xc3\xa4il\n", "p", true, "m__il_[p]"},
      {"m t", "x y", false, "m t[x y]"},
  };
  for (const Case& c : cases) {
    MilterConnection connection;
    connection.daemonName = c.daemonName;
    connection.setPeerLabel(c.peer);
    EXPECT_EQ(ConnectionLabel(connection, c.sanitised).text(), c.want)
        << "daemon_name " << c.daemonName.value_or("(unset)") << " peer " << c.peer;
  }
}

TEST(ConnectionLabel, LongDaemonNameIsCutButThePeerStays) {
  MilterConnection connection;
  connection.daemonName = std::string(1000, 'd');
  connection.setPeerLabel(std::string(100, 'p'));  // cut to 64
  ConnectionLabel label(connection, true);
  std::string_view text = label.text();
  EXPECT_EQ(text.substr(text.size() - 66), "[" + std::string(64, 'p') + "]");
}

}  // namespace
}  // namespace tollbrook
