#include "core/folding_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

// The lengths of the physical lines of "Name: value", counting the name.
std::vector<size_t> lineLengths(size_t startColumn, const std::string& value) {
  std::vector<size_t> lengths;
  size_t current = startColumn;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value.compare(i, 2, "\r\n") == 0) {
      lengths.push_back(current);
      current = 0;
      ++i;
    } else {
      ++current;
    }
  }
  lengths.push_back(current);
  return lengths;
}

std::string show(const std::string& value) {
  return testing::spellLineBytes(value);
}

TEST(FoldingWriter, AppendItemFoldsBeforeWhatDoesNotFit) {
  struct Case {
    size_t start;
    std::vector<std::pair<std::string, std::string>> items;  // separator, item
    std::string want;
    size_t wantColumn;
  };
  const std::string w60(60, 'w');
  const std::string w68(68, 'w');
  const std::string w90(90, 'w');
  const Case cases[] = {
      // Exactly 78 columns fit.
      {10, {{"", w68}}, w68, 78},
      // One more does not; a fresh writer then begins its value with a fold.
      {11, {{"", w68}}, "\r\n\t" + w68, 69},
      {23, {{"", "a=1"}, {"; ", w60}}, "a=1;\r\n\t" + w60, 61},
      {23, {{"", "a=1"}, {" ", w60}}, "a=1\r\n\t" + w60, 61},
      {23, {{"", "a=1"}, {"; ", "b=2"}}, "a=1; b=2", 31},
      // Just after a fold nothing folds again: an over-long item stands alone.
      {1, {{"", w90}}, w90, 91},
      {10, {{"", w90}, {" ", "x"}}, "\r\n\t" + w90 + "\r\n\tx", 2},
  };
  for (const auto& c : cases) {
    FoldingWriter writer(c.start);
    for (const auto& [separator, item] : c.items) ASSERT_TRUE(writer.appendItem(separator, item));
    EXPECT_EQ(show(writer.buffer()), show(c.want)) << "input start " << c.start;
    EXPECT_EQ(writer.column(), c.wantColumn) << "input start " << c.start;
  }
}

TEST(FoldingWriter, AppendTagSeparatesAndBoundsLength) {
  FoldingWriter writer(FoldingWriter::kSealColumn);
  ASSERT_TRUE(writer.appendTag("i", "1"));
  ASSERT_TRUE(writer.appendTag("a", "rsa-sha256"));
  ASSERT_TRUE(writer.appendTag("t", ""));
  EXPECT_EQ(writer.buffer(), "i=1; a=rsa-sha256; t=");

  struct Case {
    size_t valueLength;
    bool wantOk;
  };
  for (const Case& c : {Case{158, true}, Case{159, false}, Case{300, false}}) {
    FoldingWriter tags(FoldingWriter::kAmsColumn);
    Status got = tags.appendTag("h", std::string(c.valueLength, 'v'));
    EXPECT_EQ(bool(got), c.wantOk) << "input name=value of " << c.valueLength + 2 << " chars";
    if (!got) {
      EXPECT_EQ(got.error(), Error::BuildFailed);
      EXPECT_EQ(tags.buffer(), "");
    }
  }
  FoldingWriter longName(1);
  EXPECT_FALSE(longName.appendTag(std::string(160, 'n'), ""));
}

TEST(FoldingWriter, AppendTextRebreaksAtItsOwnWhitespace) {
  struct Case {
    size_t start;
    std::string separator;
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {10, "; ", "  a   (b c)d  ", "; a (b c)d"},
      {10, "; ", " \r\n\t ", ""},
      {10, "", "x \v\f y", "x y"},
      {10, "", "a(b)", "a(b)"},
      {10, "", "(outer (inner \\) still) end) z", "(outer (inner \\) still) end) z"},
      {10, "", "(never closed x y", "(never closed x y"},
      {10, "", "w=\"quoted text (not a comment)\" next", "w=\"quoted text (not a comment)\" next"},
      {10, "", "w=\"open quote x y", "w=\"open quote x y"},
      {10, "", "w=\"esc \\\" q\"z", "w=\"esc \\\" q\"z"},
      {70, " ", "spf=pass smtp.mailfrom=example.org", "\r\n\tspf=pass smtp.mailfrom=example.org"},
      {60, "; ", "dkim=pass header.d=example.org (good signature)",
       "; dkim=pass\r\n\theader.d=example.org (good signature)"},
      // Tokens that touch are never parted by a fold, however long the line.
      {70, "", "abcdef(comment text)x", "abcdef(comment text)x"},
      {60, "; ", "a (bcdefghijklmnop)qrstuvwxyz", "; a\r\n\t(bcdefghijklmnop)qrstuvwxyz"},
      {76, ";", "spf=pass", ";spf=pass"},
  };
  for (const auto& c : cases) {
    FoldingWriter writer(c.start);
    ASSERT_TRUE(writer.appendText(c.separator, c.text));
    EXPECT_EQ(show(writer.buffer()), show(c.want)) << "input \"" << show(c.text) << "\"";
  }
}

TEST(FoldingWriter, SignatureFillsEveryLineToTheWidth) {
  std::string signature(344, 'S');
  struct Case {
    size_t bEndsAt;
    std::vector<size_t> wantLines;
  };
  const Case cases[] = {
      {60, {78, 78, 78, 78, 78, 19}},
      {78, {78, 78, 78, 78, 78, 37}},
      {77, {78, 78, 78, 78, 78, 36}},
      {1, {78, 78, 78, 78, 37}},
  };
  for (const auto& c : cases) {
    FoldingWriter writer(c.bEndsAt);
    ASSERT_TRUE(writer.appendSignature(signature));
    std::string value = writer.buffer();
    EXPECT_EQ(lineLengths(c.bEndsAt, value), c.wantLines) << "input b= ending at " << c.bEndsAt;
    std::string unfolded;
    for (char ch : value) {
      if (ch == 'S') unfolded += ch;
    }
    EXPECT_EQ(unfolded, signature) << "input b= ending at " << c.bEndsAt;
  }
  FoldingWriter at78(78);
  ASSERT_TRUE(at78.appendSignature("abc"));
  EXPECT_EQ(at78.buffer(), "\r\n\tabc");
}

TEST(FoldingWriter, SealLikeValueStaysWithinWidth) {
  FoldingWriter writer(FoldingWriter::kAmsColumn);
  ASSERT_TRUE(writer.appendTag("i", "1"));
  ASSERT_TRUE(writer.appendTag("a", "rsa-sha256"));
  ASSERT_TRUE(writer.appendTag("c", "relaxed/relaxed"));
  ASSERT_TRUE(writer.appendTag("d", "mail.example.org"));
  ASSERT_TRUE(writer.appendTag("s", "selector2024"));
  ASSERT_TRUE(writer.appendTag("h", "from:to:subject:date:message-id:mime-version:content-type"));
  ASSERT_TRUE(writer.appendTag("bh", std::string(44, 'H')));
  ASSERT_TRUE(writer.appendItem("; ", "b="));
  ASSERT_TRUE(writer.appendSignature(std::string(344, 'S')));
  for (size_t length : lineLengths(FoldingWriter::kAmsColumn, writer.buffer())) {
    EXPECT_LE(length, FoldingWriter::kWidth) << show(writer.buffer());
  }
  std::string value = writer.take();
  EXPECT_EQ(writer.buffer(), "");
  EXPECT_EQ(value.find("\r\n "), std::string::npos);  // every fold is CR LF HT
}

TEST(FoldingWriter, AllocationFailureLeavesValueUnchanged) {
  // Arguments are built before the failure hook is armed.
  const std::string item(50, 'i');
  const std::string hash(44, 'H');
  const std::string signature(344, 'S');
  using Step = std::function<Status(FoldingWriter&)>;
  const std::vector<Step> steps = {
      [&](FoldingWriter& w) { return w.appendItem("; ", item); },
      [&](FoldingWriter& w) { return w.appendTag("bh", hash); },
      [&](FoldingWriter& w) { return w.appendText("; ", "spf=pass (ok) smtp.mailfrom=a.example"); },
      [&](FoldingWriter& w) { return w.appendSignature(signature); },
      [&](FoldingWriter& w) { return w.appendRaw("raw"); },
      [&](FoldingWriter& w) { return w.fold(); },
  };
  for (size_t s = 0; s < steps.size(); ++s) {
    testing::forEachAllocationFailure([&] {
      FoldingWriter writer(FoldingWriter::kAarColumn);
      if (!writer.appendItem("", "i=1")) return;  // the setup itself may be the one that fails
      std::string before = writer.buffer();       // short: no allocation
      size_t columnBefore = writer.column();
      Status got = steps[s](writer);
      if (!got) {
        EXPECT_EQ(got.error(), Error::OutOfMemory) << "input step " << s;
        EXPECT_EQ(writer.buffer(), before) << "input step " << s;
        EXPECT_EQ(writer.column(), columnBefore) << "input step " << s;
      }
    });
  }
}

}  // namespace
}  // namespace tollbrook
