#include "core/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using namespace std::string_literals;

using testing::hexText;

std::string describe(const Result<std::string>& result) {
  return result ? "bytes " + hexText(*result) : std::string(errorName(result.error()));
}

TEST(Base64Decode, ValidAndInvalidTexts) {
  struct Case {
    std::string text;
    std::string want;  // "bytes <hex>" or an error name
  };
  const Case cases[] = {
      {"", "bytes "},
      {" \r\n\t", "bytes "},
      {"QQ==", "bytes 41"},
      {"QUI=", "bytes 4142"},
      {"QUJD", "bytes 414243"},
      {"QUJD\r\n\tREVG", "bytes 414243444546"},
      {" Q U J D ", "bytes 414243"},
      {"+/+/", "bytes fbffbf"},
      {"QQ=", "InvalidPadding"},
      {"QR==", "InvalidPadding"},
      {"QUJ=", "InvalidPadding"},
      {"Q===", "InvalidPadding"},
      {"====", "InvalidPadding"},
      {"QQ=A", "InvalidPadding"},
      {"QQ==QUJD", "InvalidPadding"},
      {"QQ======", "InvalidPadding"},
      {"QQ*=", "InvalidCharacter"},
      {"QU-D", "InvalidCharacter"},
      {"QUJ\vREVG", "InvalidCharacter"},
      {"QUJ\fREVG", "InvalidCharacter"},
      {"QUJ\0"s, "InvalidCharacter"},
      {"QUJ\xC3", "InvalidCharacter"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(base64Decode(c.text)), c.want) << "input \"" << c.text << "\"";
  }
}

TEST(Base64Decode, FoldedValueEqualsUnfolded) {
  auto folded = base64Decode("QUJD\r\n\tREVG");
  auto plain = base64Decode("QUJDREVG");
  ASSERT_TRUE(folded && plain);
  EXPECT_EQ(*folded, *plain);
}

TEST(Base64Encode, LengthsAndPadding) {
  struct Case {
    std::string bytes;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {"A", "QQ=="},
      {"AB", "QUI="},
      {"ABC", "QUJD"},
      {"\xfb\xff\xfb", "+//7"},
      {"\0\0\0\0"s, "AAAAAA=="},
  };
  for (const auto& c : cases) {
    auto got = base64Encode(c.bytes);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, c.want) << "input " << hexText(c.bytes);
  }
  auto signature = base64Encode(std::string(256, '\x5a'));
  ASSERT_TRUE(signature);
  EXPECT_EQ(signature->size(), 344u);
}

// OpenSSL's encoder is the independent reference for every length and byte.
TEST(Base64, MatchesOpenSslAndRoundTrips) {
  std::string bytes;
  for (int length = 0; length < 300; ++length) {
    auto ours = base64Encode(bytes);
    ASSERT_TRUE(ours);
    std::string reference(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    reference.resize(static_cast<size_t>(written));
    EXPECT_EQ(*ours, reference) << "input length " << length;
    auto back = base64Decode(*ours);
    ASSERT_TRUE(back) << "input length " << length;
    EXPECT_EQ(*back, bytes) << "input length " << length;
    bytes.push_back(static_cast<char>((length * 151 + 7) & 0xFF));
  }
}

TEST(Base64, AllocationFailureIsOutOfMemory) {
  std::string bytes(100, '\x33');
  testing::forEachAllocationFailure([&] {
    auto text = base64Encode(bytes);
    if (!text) {
      EXPECT_EQ(text.error(), Error::OutOfMemory);
    }
  });
  for (std::string text : {"QUJD REVG", "QUJDREVG"}) {
    testing::forEachAllocationFailure([&] {
      auto decoded = base64Decode(text);
      if (decoded) {
        EXPECT_EQ(*decoded, "ABCDEF");
      } else {
        EXPECT_EQ(decoded.error(), Error::OutOfMemory) << "input " << text;
      }
    });
  }
}

}  // namespace
}  // namespace tollbrook
