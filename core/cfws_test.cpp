#include "core/cfws.h"

#include <gtest/gtest.h>

#include <string>

#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using testing::show;

// What each skipper leaves: the rest of the text after the returned position.
TEST(Cfws, EachSkipperStopsJustPastWhatItSkips) {
  using Skip = size_t (*)(std::string_view, size_t);
  struct Case {
    const char* what;
    Skip skip;
    std::string text;
    std::string wantRest;
  };
  const Case cases[] = {
      {"comment", skipComment, "(a) b", " b"},
      {"comment", skipComment, "(a (nested) b) c", " c"},
      {"comment", skipComment, "(a \\) b) c", " c"},
      {"comment", skipComment, "(a \\", ""},
      {"comment", skipComment, "(unclosed (x)", ""},
      {"quoted", skipQuotedString, "\"a b\" c", " c"},
      {"quoted", skipQuotedString, "\"a \\\" b\";", ";"},
      {"quoted", skipQuotedString, "\"unclosed \\", ""},
      {"word", skipWord, "pass (x)", " (x)"},
      {"word", skipWord, "pass(x)", "(x)"},
      {"word", skipWord, "a\"b (c) d\"e\tf", "\tf"},
      {"word", skipWord, "x\r\n", "\r\n"},
      {"word", skipWord, "a\"open", ""},
      {"space", skipSpaceAndComments, " \t\r\n(c) (d (e)) x", "x"},
      {"space", skipSpaceAndComments, "x (c)", "x (c)"},
      {"space", skipSpaceAndComments, "\v x", "\v x"},
      {"space", skipSpaceAndComments, " (unclosed", ""},
  };
  for (const Case& c : cases) {
    size_t end = c.skip(c.text, 0);
    ASSERT_LE(end, c.text.size()) << c.what << " input " << show(c.text);
    EXPECT_EQ(show(c.text.substr(end)), show(c.wantRest)) << c.what << " input " << show(c.text);
  }
}

TEST(Cfws, StartsWhereItIsTold) {
  std::string_view text = "i=1 (one) ;";
  EXPECT_EQ(skipSpaceAndComments(text, 3), 10u);
  EXPECT_EQ(skipSpaceAndComments(text, text.size()), text.size());
  EXPECT_EQ(skipWord(text, text.size()), text.size());
}

}  // namespace
}  // namespace tollbrook
