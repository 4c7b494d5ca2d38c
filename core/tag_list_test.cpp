#include "core/tag_list.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tollbrook {
namespace {

std::string describe(const Status& status) {
  return status ? std::string("success") : std::string(errorName(status.error()));
}

std::string manyTags(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += 't';
    text += std::to_string(i);
    text += "=v; ";
  }
  return text;
}

TEST(ValidateTagList, AcceptsOrNamesFirstViolation) {
  struct Case {
    std::string text;
    std::optional<Error> want;  // nullopt: accepted
  };
  const Case cases[] = {
      {"", Error::EmptyTagList},
      {"  ;  ", Error::EmptyTagList},
      {" \r\n\t", Error::EmptyTagList},
      {"a=1", std::nullopt},
      {" a = 1 ; b=2;", std::nullopt},
      {"a=1;  \r\n ", std::nullopt},
      {"a=1;;", std::nullopt},
      {"a=1; bare", Error::MissingEquals},
      {"1a=x", Error::InvalidTagName},
      {"a-b=x", Error::InvalidTagName},
      {"=x", Error::InvalidTagName},
      {"a b=x", Error::InvalidTagName},
      {"a_9=x; B2=y", std::nullopt},
      {"a=1; A=2", std::nullopt},
      {"a=1; a=2", Error::DuplicateTagName},
      {"a=1;; b=2", Error::InvalidTagName},
      {"; a=1", Error::InvalidTagName},
      {"a=", std::nullopt},
      {"a=b=c", std::nullopt},
      {"b=abc\r\n\tdef; c=", std::nullopt},
      // The first violation in text order wins.
      {"a=1; a=2; 9=3", Error::DuplicateTagName},
      {"9=1; x", Error::InvalidTagName},
      {manyTags(128), std::nullopt},
      {manyTags(129), Error::TooManyTags},
      {manyTags(128) + "t0=again", Error::TooManyTags},
  };
  for (const auto& c : cases) {
    Status got = validateTagList(c.text);
    std::string want = c.want ? std::string(errorName(*c.want)) : "success";
    EXPECT_EQ(describe(got), want) << "input \"" << c.text.substr(0, 60) << "\"";
  }
}

TEST(FindTag, LenientLookup) {
  struct Case {
    std::string text;
    std::string name;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"a=1; b=2; c=3", "b", "2"},
      {"a=1; b=2; c=3", "c", "3"},
      {"  ;; a = \t 1 \r\n ;", "a", "1"},
      {"a=1; b=", "b", ""},
      {"a=1; b= \v\f ; c=3", "b", ""},
      {"a=1", "A", std::nullopt},
      {"a=1; b=2", "z", std::nullopt},
      {"a=first; a=second", "a", "first"},
      {"foo; i=1", "i", std::nullopt},
      {"no equals here", "no", std::nullopt},
      {"", "a", std::nullopt},
      {";;;  ", "a", std::nullopt},
      {"x=1; \vy=2", "y", "2"},
      {"bh=abc=; b=x\r\n\ty", "b", "x\r\n\ty"},
      {"a=1;", "a", "1"},
  };
  for (const auto& c : cases) {
    auto got = findTag(c.text, c.name);
    auto show = [](const std::optional<std::string_view>& v) {
      return v ? std::string(1, '"').append(*v).append(1, '"') : std::string("absent");
    };
    std::optional<std::string_view> want;
    if (c.want) want = *c.want;
    EXPECT_EQ(show(got), show(want)) << "input \"" << c.text << "\" name " << c.name;
  }
}

TEST(FindTag, ValueIsViewIntoText) {
  std::string text = "v=1; d=example.org";
  auto value = findTag(text, "d");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data(), text.data() + 7);
}

}  // namespace
}  // namespace tollbrook
