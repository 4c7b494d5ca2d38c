#include "arc/aar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

constexpr std::string_view kWarning =
    "ignoring Authentication-Results claiming our authserv-id with non-local methods";

struct Field {
  std::string_view name;
  std::string_view value;
};

std::vector<HeaderField> headersOf(std::initializer_list<Field> fields) {
  std::vector<HeaderField> headers;
  for (const Field& f : fields) headers.push_back(HeaderField{f.name, f.value, true});
  return headers;
}

std::string aarValue(const std::vector<HeaderField>& headers, std::string_view methods) {
  auto local = parseLocalMethods(methods);
  EXPECT_TRUE(local.has_value());
  auto content = buildAarContent(headers, "auth1", *local);
  EXPECT_TRUE(content.has_value());
  auto value = formatAar(1, *content);
  EXPECT_TRUE(value.has_value());
  return *value;
}

TEST(Aar, VouchesOnlyForLocalResultsUnderOurAuthservId) {
  struct Case {
    std::string_view what;
    std::vector<HeaderField> headers;
    std::string_view methods;
    std::string_view want;
    bool warns;
  } cases[] = {
      {"no Authentication-Results", headersOf({{"From", "a@example.org"}}), "spf",
       "i=1; auth1; none", false},
      {"all methods local", headersOf({{"Authentication-Results", "auth1; spf=pass; dkim=pass"}}),
       "spf,dkim", "i=1; auth1; spf=pass; dkim=pass", false},
      {"one method foreign", headersOf({{"Authentication-Results", "auth1; spf=pass; dkim=pass"}}),
       "spf", "i=1; auth1; none", true},
      {"no method local", headersOf({{"Authentication-Results", "auth1; spf=pass; dkim=pass"}}),
       "dmarc", "i=1; auth1; none", false},
      {"default empty list", headersOf({{"Authentication-Results", "auth1; spf=pass"}}), "",
       "i=1; auth1; none", false},
      {"other authserv-id", headersOf({{"Authentication-Results", "auth2; spf=pass"}}), "spf",
       "i=1; auth1; none", false},
      {"id prefix of a longer id", headersOf({{"Authentication-Results", "auth1.x; spf=pass"}}),
       "spf", "i=1; auth1; none", false},
      {"two fields in header order",
       headersOf({{"Authentication-Results", "auth1; spf=pass"},
                  {"Subject", "hi"},
                  {"authentication-results", "auth1; dkim=fail"}}),
       "spf, dkim", "i=1; auth1; spf=pass; dkim=fail", false},
      {"method case ignored, id written as configured",
       headersOf({{"Authentication-Results", "AUTH1 1; DKIM=pass"}}), "dkim",
       "i=1; auth1; DKIM=pass", false},
      {"a field reading none", headersOf({{"Authentication-Results", "auth1; none"}}), "spf",
       "i=1; auth1; none", false},
      {"folds and runs of spaces re-spaced",
       headersOf({{"Authentication-Results",
                   "auth1;\r\n\tspf=pass   smtp.mailfrom=a@b;\r\n dkim=pass ;"}}),
       "spf,dkim", "i=1; auth1; spf=pass smtp.mailfrom=a@b; dkim=pass", false},
      {"comment before the method",
       headersOf({{"Authentication-Results", "auth1; (checked here) spf=pass"}}), "spf",
       "i=1; auth1; (checked here) spf=pass", false},
      {"a lookalike name is not Authentication-Results",
       headersOf({{"Authentication-Results ", "auth1; spf=pass"}}), "spf", "i=1; auth1; none",
       false},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    std::string got = aarValue(c.headers, c.methods);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, c.want) << c.what;
    EXPECT_EQ(log.find(kWarning) != std::string::npos, c.warns) << c.what << ": log " << log;
  }
}

TEST(Aar, WarnsOncePerMixedField) {
  auto headers = headersOf({{"Authentication-Results", "auth1; spf=pass; dkim=pass"},
                            {"Authentication-Results", "auth1; spf=fail; arc=pass"}});
  ::testing::internal::CaptureStderr();
  aarValue(headers, "spf");
  std::string log = ::testing::internal::GetCapturedStderr();
  size_t first = log.find(kWarning);
  ASSERT_NE(first, std::string::npos);
  size_t second = log.find(kWarning, first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(log.find(kWarning, second + 1), std::string::npos) << log;
}

TEST(Aar, LongResultsFoldAt78Columns) {
  // 28 columns of name, "i=1; auth1; " and a long result: the result moves to
  // a continuation line.
  std::string result = "dkim=pass header.d=" + std::string(50, 'x') + ".example";
  std::string value = "auth1; " + result;
  auto headers = headersOf({{"Authentication-Results", value}});
  std::string got = aarValue(headers, "dkim");
  EXPECT_EQ(got, "i=1; auth1; dkim=pass\r\n\theader.d=" + std::string(50, 'x') + ".example");
}

TEST(Aar, InstanceIsWrittenInDecimal) {
  auto value = formatAar(50, "auth1; none");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, "i=50; auth1; none");
}

TEST(LocalMethods, TrimsItemsAndDropsEmptyOnes) {
  auto methods = parseLocalMethods(" spf ,\tdkim\t,, ,arc");
  ASSERT_TRUE(methods.has_value());
  EXPECT_EQ(*methods, (std::vector<std::string_view>{"spf", "dkim", "arc"}));
  auto none = parseLocalMethods(" , ");
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST(Aar, AllocationFailureNamesTheStep) {
  auto headers = headersOf({{"Authentication-Results", "auth1; spf=pass"}});
  std::vector<std::string_view> methods = {"spf"};
  testing::forEachAllocationFailure([&] {
    auto content = buildAarContent(headers, "auth1", methods);
    if (!content) {
      EXPECT_EQ(content.error().step, "building the ARC-Authentication-Results content");
      EXPECT_EQ(content.error().cause, Error::OutOfMemory);
      return;
    }
    auto value = formatAar(1, *content);
    if (!value) {
      EXPECT_EQ(value.error().step, "formatting the ARC-Authentication-Results header");
      EXPECT_EQ(value.error().cause, Error::OutOfMemory);
      return;
    }
    EXPECT_EQ(*value, "i=1; auth1; spf=pass");
  });
}

}  // namespace
}  // namespace tollbrook
