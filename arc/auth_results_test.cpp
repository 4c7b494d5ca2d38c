#include "arc/auth_results.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tollbrook {
namespace {

TEST(ClaimsAuthservId, MatchesOnlyTheWholeIdFollowedByADelimiter) {
  struct Case {
    std::string_view value;
    bool want;
  } cases[] = {
      {"auth1; spf=pass", true},
      {"AUTH1 1; spf=pass", true},  // version after the id
      {" \t\r\n\v\fauth1;", true},  // leading blanks skipped
      {"auth1", true},
      {"auth1\t;", true},
      {"auth1.x; spf=pass", false},
      {"auth10; spf=pass", false},
      {"auth", false},
      {"", false},
      {"other; auth1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(claimsAuthservId(c.value, "auth1"), c.want) << "value \"" << c.value << "\"";
  }
}

std::string scanAll(std::string_view value) {
  std::string out;
  ResinfoScanner scanner(value);
  while (auto r = scanner.next()) {
    out.append(r->method).append("=").append(r->result).append("|");
  }
  return out;
}

TEST(ResinfoScanner, ReadsMethodAndResultOfEachPiece) {
  struct Case {
    std::string_view value;
    std::string_view want;
  } cases[] = {
      {"auth1; spf=pass; dkim=fail", "spf=pass|dkim=fail|"},
      {"auth1", ""},                         // no ';': no resinfos
      {"auth1; none", ""},                   // a piece without '=' is no resinfo
      {"auth1;;  ; spf=pass", "spf=pass|"},  // empty pieces ignored
      {"auth1; (c (nested) \\) x) spf = (why) pass (reason)", "spf=pass|"},
      {"auth1; dkim=pass header.d=example.org", "dkim=pass|"},
      {"auth1; x=\"a b\"c d", "x=\"a b\"c|"},  // quoted string taken whole
      {"auth1; =pass; spf=", ""},              // empty method, empty result
      {"auth1; spf=pass(comment)", "spf=pass|"},
      {"auth1; a=(x;y) b=1", "y) b=1|"},  // ';' inside a comment still cuts the piece
      {"auth1;\r\n\tarc=pass", "arc=pass|"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scanAll(c.value), c.want) << "value \"" << c.value << "\"";
  }
}

}  // namespace
}  // namespace tollbrook
