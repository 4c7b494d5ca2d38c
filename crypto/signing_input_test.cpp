#include "crypto/signing_input.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/result_error.h"

namespace tollbrook {
namespace {

using testing::errorOf;

using Mode = CanonicalizationMode;

HeaderField field(std::string_view name, std::string_view value, bool leadingSpace = true) {
  return HeaderField{name, value, leadingSpace};
}

TEST(HeaderTexts, RebuildFieldsAndArcHeaders) {
  EXPECT_EQ(headerFieldText(field("From", "a@b")).value(), "From: a@b");
  EXPECT_EQ(headerFieldText(field("From", " a@b", false)).value(), "From: a@b");
  EXPECT_EQ(headerFieldText(field("From", "a@b", false)).value(), "From:a@b");
  EXPECT_EQ(arcHeaderText("ARC-Seal", "i=1").value(), "ARC-Seal: i=1");
}

TEST(StripSignatureValue, EmptiesOnlyTheFirstBTag) {
  struct Case {
    std::string_view text, want;
  };
  const Case cases[] = {
      {"ARC-Seal: i=1; b=abc; d=x", "ARC-Seal: i=1; b=; d=x"},
      {"ARC-Seal: i=1; bh=xyz; b=abc", "ARC-Seal: i=1; bh=xyz; b="},
      {"ARC-Seal: b = ab\r\n\tcd ;a=1", "ARC-Seal: b =;a=1"},
      {"ARC-Seal: i=1; \r\n b=ab\r\n cd", "ARC-Seal: i=1; \r\n b="},
      {"ARC-Seal: b=1; b=2", "ARC-Seal: b=; b=2"},
      {"ARC-Seal: B=1; bb=2", "ARC-Seal: B=1; bb=2"},
      {"ARC-Seal: i=1", "ARC-Seal: i=1"},
      {"b=abc", "b="},
      // A ':' after the first '=' belongs to a value, not to a field name.
      {"a=x:y; b=abc", "a=x:y; b="},
      {"b:=1; b=2", "b:=1; b="},
      {"X: ;;b=v;", "X: ;;b=;"},
      {"", ""},
      {"X:", "X:"},
  };
  for (const Case& c : cases) {
    auto got = stripSignatureValue(c.text);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, c.want) << "input \"" << c.text << "\": got \"" << *got << "\", want \""
                            << c.want << "\"";
  }
}

std::string names(const std::vector<HeaderField>& fields) {
  std::string out;
  for (const HeaderField& f : fields) out += std::string(f.name) + "=" + std::string(f.value) + " ";
  return out;
}

TEST(SelectSignedHeaders, PicksRepeatedNamesFromTheBottom) {
  const std::vector<HeaderField> headers = {
      field("Received", "1"), field("From", "f"),   field("Subject", "s"),
      field("Received", "2"), field("to", "t"),     field("Received", "3"),
      field("Subject ", "x"), field("X-Empty", ""),
  };
  struct Case {
    std::string_view h, want;
  };
  const Case cases[] = {
      {"from:subject", "From=f Subject=s "},
      {"received", "Received=3 "},
      {"Received:received:RECEIVED:received", "Received=3 Received=2 Received=1 "},
      {"from:from", "From=f "},
      {"missing:to:missing", "to=t "},
      {" From \t: \r\n To :", "From=f to=t "},
      {"::from::", "From=f "},
      {"subject", "Subject=s "},  // "Subject " is a different name
      {"x-empty", "X-Empty= "},
      {"", ""},
      {"received:to:received", "Received=3 to=t Received=2 "},
  };
  for (const Case& c : cases) {
    auto got = selectSignedHeaders(c.h, headers);
    ASSERT_TRUE(got);
    EXPECT_EQ(names(*got), c.want) << "h=\"" << c.h << "\"";
  }
}

// The selection is sort-based for speed; check it against the plain reading
// of the rule (count earlier equal names, walk up from the bottom) on many
// random lists.
std::vector<HeaderField> referenceSelection(std::string_view h,
                                            const std::vector<HeaderField>& headers) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t colon = h.find(':', start);
    std::string piece(h.substr(start, colon == std::string_view::npos ? h.npos : colon - start));
    while (!piece.empty() && (piece.back() == ' ')) piece.pop_back();
    while (!piece.empty() && (piece.front() == ' ')) piece.erase(0, 1);
    if (!piece.empty()) pieces.push_back(piece);
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  std::vector<HeaderField> out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    size_t k = 0;
    for (size_t j = 0; j < i; ++j) k += headerNameEquals(pieces[j], pieces[i]) ? 1 : 0;
    for (size_t f = headers.size(); f-- > 0;) {
      if (!headerNameEquals(headers[f].name, pieces[i])) continue;
      if (k-- == 0) {
        out.push_back(headers[f]);
        break;
      }
    }
  }
  return out;
}

TEST(SelectSignedHeaders, AgreesWithTheDirectReadingOfTheRule) {
  static const std::string_view kNames[] = {"a", "A", "b", "B ", "ab", "aB", "c", "b"};
  static const std::string_view kValues[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
  std::mt19937 random(17);
  for (int round = 0; round < 2000; ++round) {
    std::vector<HeaderField> headers;
    const size_t fieldCount = random() % 9;
    for (size_t i = 0; i < fieldCount; ++i) {
      headers.push_back(field(kNames[random() % 8], kValues[i]));
    }
    std::string h;
    const size_t pieceCount = random() % 9;
    for (size_t i = 0; i < pieceCount; ++i) {
      h += std::string(kNames[random() % 8]) + (random() % 4 == 0 ? "::" : ":");
    }
    auto got = selectSignedHeaders(h, headers);
    ASSERT_TRUE(got);
    const std::vector<HeaderField> want = referenceSelection(h, headers);
    std::string fieldList;
    for (const HeaderField& f : headers) fieldList += std::string(f.name) + "|";
    EXPECT_EQ(names(*got), names(want)) << "h=\"" << h << "\" fields " << fieldList;
  }
}

TEST(AmsSigningInput, CanonicalFieldsThenTheSignatureHeader) {
  const std::vector<HeaderField> headers = {
      field("From", "Joe  <j@x>"),
      field("Subject", "hi\r\n  there "),
      field("To", "x", false),
  };
  const std::string_view ams = "ARC-Message-Signature: i=1; h=Subject : from; b=";
  auto relaxed = amsSigningInput(headers, "Subject : from:cc", Mode::Relaxed, ams);
  ASSERT_TRUE(relaxed);
  EXPECT_EQ(*relaxed,
            "subject:hi there\r\n"
            "from:Joe <j@x>\r\n"
            "arc-message-signature:i=1; h=Subject : from; b=");
  auto simple = amsSigningInput(headers, "to:from", Mode::Simple, ams);
  ASSERT_TRUE(simple);
  EXPECT_EQ(*simple, std::string("To:x\r\nFrom: Joe  <j@x>\r\n") + std::string(ams));
  EXPECT_EQ(errorOf(amsSigningInput(headers, "from", Mode::Relaxed, "no colon")),
            Error::MalformedHeader);
}

TEST(SealSigningInput, EarlierSetsThenTheNewSetRelaxed) {
  const SealedSetText earlier[] = {{"i=1; a  b", "i=1;\r\n b=x", "i=1; cv=none; b=s1"}};
  auto input = sealSigningInput(earlier, " i=2; x", "i=2; y ", "ARC-Seal:  i=2; cv=pass;\r\n\tb=");
  ASSERT_TRUE(input);
  EXPECT_EQ(*input,
            "arc-authentication-results:i=1; a b\r\n"
            "arc-message-signature:i=1; b=x\r\n"
            "arc-seal:i=1; cv=none; b=s1\r\n"
            "arc-authentication-results:i=2; x\r\n"
            "arc-message-signature:i=2; y\r\n"
            "arc-seal:i=2; cv=pass; b=");
  auto first = sealSigningInput({}, "i=1", "i=1", "ARC-Seal: i=1; b=");
  ASSERT_TRUE(first);
  EXPECT_EQ(*first,
            "arc-authentication-results:i=1\r\narc-message-signature:i=1\r\narc-seal:i=1; b=");
}

// The growing chain must hand each seal exactly the text sealSigningInput
// builds from scratch, whatever the earlier seals' b= values and folds.
TEST(SealInputChain, EachInputIsTheOneBuiltFromScratch) {
  const SealedSetText sets[] = {{"i=1; a  b", "i=1;\r\n b=x", "i=1; cv=none; b=s1\r\n\tmore"},
                                {" i=2; x", "i=2; y ", "i=2; cv=pass; b=s2"},
                                {"i=3;\tz", "i=3; w", "i=3; cv=pass;  b= s3"}};
  const std::string_view stripped[] = {"ARC-Seal: i=1; cv=none; b=", "ARC-Seal:  i=2; cv=pass; b=",
                                       "ARC-Seal: i=3; cv=pass;\r\n\tb="};
  SealInputChain chain;
  ASSERT_TRUE(chain.reserve(16));  // smaller than the text: growing must keep it whole
  for (size_t k = 0; k < 3; ++k) {
    auto expected =
        sealSigningInput(std::span(sets).first(k), sets[k].aarValue, sets[k].amsValue, stripped[k]);
    auto got = chain.next(sets[k], stripped[k]);
    ASSERT_TRUE(expected && got);
    EXPECT_EQ(*got, *expected) << "set " << k + 1;
  }
  EXPECT_EQ(errorOf(SealInputChain().next(sets[0], "no colon")), Error::MalformedHeader);
}

TEST(SigningInputs, AllocationFailureIsOutOfMemory) {
  std::vector<HeaderField> headers;
  for (int i = 0; i < 20; ++i) headers.push_back(field(i % 2 ? "Received" : "From", "value"));
  const SealedSetText earlier[] = {{"a", "b", "c"}, {"d", "e", "f"}};
  const auto expectOkOrOom = [](const Result<std::string>& got) {
    if (!got) {
      EXPECT_EQ(got.error(), Error::OutOfMemory);
    }
  };
  testing::forEachAllocationFailure([&] {
    expectOkOrOom(amsSigningInput(headers, "from:received:from:x", Mode::Relaxed,
                                  "ARC-Message-Signature: i=3; b="));
  });
  testing::forEachAllocationFailure(
      [&] { expectOkOrOom(sealSigningInput(earlier, "g", "h", "ARC-Seal: i=3; b=")); });
  testing::forEachAllocationFailure([&] {
    SealInputChain chain;
    for (const SealedSetText& set : earlier) {
      auto input = chain.next(set, "ARC-Seal: i=1; b=");
      if (!input) {
        EXPECT_EQ(input.error(), Error::OutOfMemory);
        return;
      }
    }
  });
  testing::forEachAllocationFailure([&] {
    expectOkOrOom(stripSignatureValue("ARC-Seal: i=1; b=abcdefghijklmnopqrstuvwxyz0123456789"));
  });
}

}  // namespace
}  // namespace tollbrook
