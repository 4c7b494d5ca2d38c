#include "dns/response.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/dns_wire_builder.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

using testing::kFlagResponse;
using testing::kFlagTruncated;
using testing::nameRdata;
using testing::txtRdata;
using testing::WireBuilder;

constexpr uint16_t kTxt = 16;
constexpr uint16_t kA = 1;

// Reply to "k.example" with the question echoed.
WireBuilder replyHeader(uint16_t answers, uint16_t flags = kFlagResponse | 0x0100) {
  WireBuilder b;
  b.header(0x1234, flags, 1, answers).question("k.example");
  return b;
}

std::string describe(const Result<DnsResponse>& response) {
  if (!response) return "error." + std::string(errorName(response.error()));
  std::string out;
  for (const DnsRecord& r : response->records) {
    out += r.name + "/" + std::to_string(r.type) + "/" + std::to_string(r.ttl) + "=" + r.data + ";";
  }
  return out;
}

TEST(ParseResponse, HeaderFields) {
  std::string reply =
      WireBuilder().header(0xabcd, kFlagResponse | kFlagTruncated | 0x0083, 0, 0).bytes();
  auto response = parseResponse(reply);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->identifier, 0xabcd);
  EXPECT_TRUE(response->truncated);
  EXPECT_EQ(response->rcode, 3);
  EXPECT_TRUE(response->records.empty());

  EXPECT_EQ(parseResponse(reply.substr(0, 11)).error(), Error::PacketTooShort);
  EXPECT_EQ(parseResponse("").error(), Error::PacketTooShort);
}

TEST(ParseResponse, AnswerSections) {
  const std::string key = "v=DKIM1; k=rsa; p=MIIB";
  struct Case {
    const char* what;
    std::string reply;
    std::string want;
  };
  const Case cases[] = {
      {"two strings joined without separator",
       replyHeader(1).answer("k.example", kTxt, 300, txtRdata({"v=DKIM1; ", "p=AB"})).bytes(),
       "k.example/16/300=v=DKIM1; p=AB;"},
      {"empty strings and an empty rdata",
       replyHeader(2)
           .answer("k.example", kTxt, 1, txtRdata({"", "x", ""}))
           .answer("k.example", kTxt, 1, "")
           .bytes(),
       "k.example/16/1=x;k.example/16/1=;"},
      {"a string running past its rdata ends the text",
       replyHeader(1)
           .answer("k.example", kTxt, 5,
                   "\x02"
                   "ab"
                   "\x09"
                   "cd")
           .bytes(),
       "k.example/16/5=ab;"},
      {"ANCOUNT 3 with two complete records",
       replyHeader(3)
           .answer("k.example", kTxt, 60, txtRdata({"one"}))
           .answer("k.example", kTxt, 60, txtRdata({"two"}))
           .bytes(),
       "k.example/16/60=one;k.example/16/60=two;"},
      {"fixed fields cut short stop decoding",
       replyHeader(2)
           .answer("k.example", kTxt, 60, txtRdata({"one"}))
           .name("k.example")
           .u16(16)
           .bytes(),
       "k.example/16/60=one;"},
      {"rdata longer than the reply stops decoding",
       replyHeader(2)
           .answer("k.example", kTxt, 60, txtRdata({"one"}))
           .name("k.example")
           .u16(kTxt)
           .u16(1)
           .u32(60)
           .u16(200)
           .raw("\x03two")
           .bytes(),
       "k.example/16/60=one;"},
      {"CNAME then TXT, compressed owner and target",
       replyHeader(2)
           .pointer(12)
           .fixed(5, 30, WireBuilder().name("sel", false).pointer(14).bytes())
           .name("sel", false)
           .pointer(14)
           .fixed(kTxt, 30, txtRdata({key}))
           .bytes(),
       "k.example/5/30=sel.example;sel.example/16/30=" + key + ";"},
      {"MX drops the preference",
       replyHeader(1)
           .answer("k.example", 15, 9, std::string("\x00\x0a", 2) + nameRdata("mx.example"))
           .bytes(),
       "k.example/15/9=mx.example;"},
      {"MX rdata of two bytes",
       replyHeader(1).answer("k.example", 15, 9, std::string("\x00\x0a", 2)).bytes(),
       "error.PacketTooShort"},
      {"other types keep raw rdata",
       replyHeader(1).answer("k.example", kA, 9, std::string("\x7f\0\0\x01", 4)).bytes(),
       "k.example/1/9=\x7f" + std::string("\0\0", 2) + "\x01;"},
      {"a question running past the end",
       WireBuilder().header(1, kFlagResponse, 1, 0).name("k.example").u16(16).bytes(),
       "error.PacketTooShort"},
      {"more questions than present",
       WireBuilder().header(1, kFlagResponse, 2, 0).question("k.example").bytes(),
       "error.PacketTooShort"},
      {"a label byte of 64 in a question",
       WireBuilder()
           .header(1, kFlagResponse, 1, 0)
           .u8(64)
           .raw(std::string(64, 'a'))
           .u8(0)
           .u32(0)
           .bytes(),
       "error.LabelTooLong"},
      {"a pointer loop (the owner points at itself)",
       replyHeader(1).pointer(27).fixed(kTxt, 1, "").bytes(), "error.TooManyPointers"},
      {"a pointer beyond the end", replyHeader(1).pointer(0x3fff).fixed(kTxt, 1, "").bytes(),
       "error.InvalidPointer"},
      {"a label byte of 128 in an answer owner",
       replyHeader(1).u8(128).u8(0).fixed(kTxt, 1, "").bytes(), "error.LabelTooLong"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(parseResponse(c.reply)), c.want) << c.what;
  }
}

TEST(ReadName, CompressionAndLimits) {
  // "a" at 0, then "b" + pointer to 0 at 3, then pointer to 3 at 7.
  const std::string packet = WireBuilder().name("a").name("b", false).pointer(0).pointer(3).bytes();
  struct Case {
    size_t offset;
    std::string want;
  };
  const Case cases[] = {{0, "a"}, {3, "b.a"}, {7, "b.a"}, {2, ""}};
  for (const Case& c : cases) {
    auto name = readName(packet, c.offset);
    EXPECT_EQ(name ? *name : "error." + std::string(errorName(name.error())), c.want)
        << "offset " << c.offset;
  }

  EXPECT_EQ(readName(WireBuilder().pointer(0).bytes(), 0).error(), Error::TooManyPointers);

  // Ten pointers in a chain are followed; the eleventh fails.
  WireBuilder chain;
  chain.name("end");
  for (int i = 0; i < 11; ++i) chain.pointer(static_cast<uint16_t>(i == 0 ? 0 : 5 + 2 * (i - 1)));
  EXPECT_EQ(*readName(chain.bytes(), 5 + 2 * 9), "end");
  EXPECT_EQ(readName(chain.bytes(), 5 + 2 * 10).error(), Error::TooManyPointers);

  // A pointer missing its second byte, a label past the end, a name without
  // its terminating zero (it ends with the reply).
  EXPECT_EQ(readName(std::string("\xc0", 1), 0).error(), Error::PacketTooShort);
  EXPECT_EQ(readName("\x05"
                     "ab",
                     0)
                .error(),
            Error::PacketTooShort);
  EXPECT_EQ(*readName("\x02"
                      "ab",
                      0),
            "ab");

  // Decoded text of 253 bytes passes; 254 fails.
  const std::string l63(63, 'x');
  std::string name253 = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'y');
  EXPECT_EQ(*readName(WireBuilder().name(name253).bytes(), 0), name253);
  EXPECT_EQ(readName(WireBuilder().name(name253 + "y").bytes(), 0).error(), Error::NameTooLong);
}

TEST(SkipName, StopsAtZeroOrPointer) {
  EXPECT_EQ(*skipName(WireBuilder().name("a.bc").bytes(), 0), 6u);
  EXPECT_EQ(*skipName(WireBuilder().name("a", false).pointer(9).bytes(), 0), 4u);
  EXPECT_EQ(skipName(WireBuilder().name("a", false).u8(0xc0).bytes(), 0).error(),
            Error::PacketTooShort);
  EXPECT_EQ(skipName("\x01"
                     "a",
                     0)
                .error(),
            Error::PacketTooShort);
  std::string many;
  for (int i = 0; i < 128; ++i)
    many +=
        "\x01"
        "a";
  many.push_back('\0');
  EXPECT_EQ(skipName(many, 0).error(), Error::TooManyLabels);
}

TEST(ParseResponse, AllocationFailureIsOutOfMemory) {
  const std::string reply = replyHeader(2)
                                .answer("k.example", kTxt, 60, txtRdata({"one", "two"}))
                                .answer("k.example", 5, 60, nameRdata("t.example"))
                                .bytes();
  ::tollbrook::testing::forEachAllocationFailure([&] {
    auto response = parseResponse(reply);
    if (!response) {
      EXPECT_EQ(response.error(), Error::OutOfMemory);
    } else {
      EXPECT_EQ(response->records.size(), 2u);
    }
  });
}

// The name decoder on its own reports a failed append: it never throws.
TEST(AppendName, AllocationFailureIsOutOfMemory) {
  const std::string wire = nameRdata("sel._domainkey.example.org");
  ::tollbrook::testing::forEachAllocationFailure([&] {
    std::string text;
    Status appended = appendName(wire, 0, text);
    if (appended) {
      EXPECT_EQ(text, "sel._domainkey.example.org");
    } else {
      EXPECT_EQ(appended.error(), Error::OutOfMemory);
    }
  });
}

TEST(RcodeName, Table) {
  EXPECT_EQ(rcodeName(2), "server_failure");
  EXPECT_EQ(rcodeName(4), "not_implemented");
  EXPECT_EQ(rcodeName(5), "refused");
  EXPECT_EQ(rcodeName(1), "format_error");
  EXPECT_EQ(rcodeName(15), "format_error");
}

}  // namespace
}  // namespace tollbrook
