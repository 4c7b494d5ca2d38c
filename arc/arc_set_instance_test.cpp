#include "arc/arc_set_instance.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace tollbrook {
namespace {

std::string show(std::optional<uint8_t> n) {
  return n ? std::to_string(*n) : "none";
}

TEST(ReadArcInstance, FastFormAndTagLookup) {
  struct Case {
    std::string_view value;
    std::optional<uint8_t> want;
  };
  const Case cases[] = {
      // The leading form of an ARC-Authentication-Results value.
      {"i=1; mx.example.org; spf=pass smtp.mailfrom=example.org", 1},
      {" i = 2 ;mx.example.org", 2},
      {"(first hop) i=3; mx.example.org", 3},
      {"(nested (comment) \\) still) i=4; x", 4},
      {"\r\n\ti\r\n\t=\r\n\t5\r\n\t; x", 5},
      {"i=07; x", 7},
      {"i=(c)8(c);x", 8},
      // Not the leading form: the tag list is searched.
      {"a=rsa-sha256; i=9; d=example.org", 9},
      {"i=+10; d=x", 10},
      {"i=1_2; d=x", 12},
      {"i=300; d=x", std::nullopt},
      {"i=255; d=x", 255},
      {"i=256; d=x", std::nullopt},
      {"i=100; d=x", 100},
      {"i=-1; d=x", std::nullopt},
      {"i=-0; d=x", std::nullopt},
      {"i=_1; d=x", std::nullopt},
      {"i=1_; d=x", std::nullopt},
      {"i=; d=x", std::nullopt},
      {"i=1x; d=x", std::nullopt},
      {"i=1 (c); d=x", 1},  // the fast form allows a comment before ';'
      {"d=example.org", std::nullopt},
      {"", std::nullopt},
      {"(unclosed i=1;", std::nullopt},
      {"I=1; d=x", std::nullopt},  // tag names are case-sensitive
      {"i=1", 1},                  // no ';': found by the tag lookup
      {"foo; i=1", std::nullopt},  // a bare word swallows the next segment
      {"i=0; x", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readArcInstance(c.value), c.want)
        << "input \"" << c.value << "\": got " << show(readArcInstance(c.value)) << ", want "
        << show(c.want);
  }
}

}  // namespace
}  // namespace tollbrook
