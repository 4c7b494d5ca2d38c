#include "arc/arc_set.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

std::string errorOrCount(const Result<std::vector<ArcSet>>& r) {
  if (!r) return std::string(errorName(r.error()));
  return std::to_string(r->size()) + " sets";
}

HeaderField field(std::string_view name, std::string_view value) {
  return HeaderField{name, value, true};
}

// Headers of one complete set with the given instance text and seal cv.
struct SetText {
  std::string aar, ams, seal;
};
SetText setText(int instance, std::string_view cv) {
  std::string i = std::to_string(instance);
  return {"i=" + i + "; mx.example.org; spf=pass",
          "i=" + i + "; a=rsa-sha256; d=example.org; s=sel; h=from:to; bh=AAAA; b=BBBB",
          "i=" + i + "; a=rsa-sha256; cv=" + std::string(cv) + "; d=example.org; s=sel; b=CCCC"};
}

TEST(CollectArcSets, ErrorsAndCounts) {
  const std::string longAms(20, 'x');
  struct Case {
    std::string_view what;
    std::vector<HeaderField> headers;
    std::string want;
  };
  const Case cases[] = {
      {"no ARC fields",
       {field("From", "a@example.org"), field("X-ARC-Note", "i=1; cv=none")},
       "0 sets"},
      {"one complete set, newest first as sealers insert",
       {field("ARC-Seal", "i=1; cv=none; a=rsa-sha256; b=x"),
        field("ARC-Message-Signature", "i=1; a=rsa-sha256; b=y"),
        field("ARC-Authentication-Results", "i=1; mx; none")},
       "1 sets"},
      {"names in any case",
       {field("arc-seal", "i=1; cv=none"), field("ARC-MESSAGE-SIGNATURE", "i=1; b=y"),
        field("arc-authentication-results", "i=1; mx")},
       "1 sets"},
      {"name with a space before the colon is not ARC",
       {field("ARC-Seal ", "i=1; cv=none"), field("ARC-Message-Signature", "i=1; b=y"),
        field("ARC-Authentication-Results", "i=1; mx")},
       "IncompleteSet"},
      {"seal without i=", {field("ARC-Seal", "cv=none; b=x")}, "MalformedInstance"},
      {"instance 0", {field("ARC-Seal", "i=0; cv=none")}, "MalformedInstance"},
      {"instance 51", {field("ARC-Seal", "i=51; cv=none")}, "ChainTooLong"},
      {"instance 255", {field("ARC-Seal", "a=x; i=255")}, "ChainTooLong"},
      {"instance 300", {field("ARC-Seal", "i=300; cv=none")}, "MalformedInstance"},
      {"instance with leading plus",
       {field("ARC-Seal", "cv=none; i=+1"), field("ARC-Message-Signature", "b=y; i=+1"),
        field("ARC-Authentication-Results", "i=1; mx")},
       "1 sets"},
      {"AAR with a comment before i=",
       {field("ARC-Seal", "i=1; cv=none"), field("ARC-Message-Signature", "i=1; b=y"),
        field("ARC-Authentication-Results", "(hop one) i=1; mx; spf=pass")},
       "1 sets"},
      {"identical duplicate AMS",
       {field("ARC-Message-Signature", "i=1; b=y"), field("ARC-Message-Signature", "i=1; b=y")},
       "DuplicateHeader"},
      {"AMS segment without '='",
       {field("ARC-Seal", "i=1; cv=none"), field("ARC-Message-Signature", "i=1; junk; b=y"),
        field("ARC-Authentication-Results", "i=1; mx")},
       "MalformedTagList"},
      {"AAR defect not noticed",
       {field("ARC-Seal", "i=1; cv=none"), field("ARC-Message-Signature", "i=1; b=y"),
        field("ARC-Authentication-Results", "i=1; junk; ;; ==")},
       "1 sets"},
      {"seal with a duplicate tag",
       {field("ARC-Seal", "i=1; cv=none; cv=pass")},
       "MalformedTagList"},
      {"malformed seal before duplicate AMS",
       {field("ARC-Seal", "i=1; =x"), field("ARC-Message-Signature", "i=1; b=y"),
        field("ARC-Message-Signature", "i=1; b=y")},
       "MalformedTagList"},
      {"duplicate AMS before malformed seal",
       {field("ARC-Message-Signature", "i=1; b=y"), field("ARC-Message-Signature", "i=1; b=y"),
        field("ARC-Seal", "i=1; =x")},
       "DuplicateHeader"},
      {"per-field faults win over a gap",
       {field("ARC-Seal", "i=2; cv=pass"), field("ARC-Seal", "i=x")},
       "MalformedInstance"},
      {"AMS with an empty value has no instance",
       {field("ARC-Seal", "i=1; cv=none"), field("ARC-Message-Signature", ""),
        field("ARC-Authentication-Results", "i=1; mx")},
       "MalformedInstance"},
  };
  for (const Case& c : cases) {
    Result<std::vector<ArcSet>> got = collectArcSets(c.headers);
    EXPECT_EQ(errorOrCount(got), c.want) << "input " << c.what;
  }
}

TEST(CollectArcSets, GapsAndIncompleteSetsFromInstanceOneUp) {
  SetText one = setText(1, "none"), two = setText(2, "pass"), three = setText(3, "pass");
  struct Case {
    std::string_view what;
    std::vector<HeaderField> headers;
    std::string want;
  };
  const Case cases[] = {
      {"sets 1 and 3 only",
       {field("ARC-Seal", three.seal), field("ARC-Message-Signature", three.ams),
        field("ARC-Authentication-Results", three.aar), field("ARC-Seal", one.seal),
        field("ARC-Message-Signature", one.ams), field("ARC-Authentication-Results", one.aar)},
       "ChainGap"},
      {"set 2 without its AAR",
       {field("ARC-Seal", two.seal), field("ARC-Message-Signature", two.ams),
        field("ARC-Seal", one.seal), field("ARC-Message-Signature", one.ams),
        field("ARC-Authentication-Results", one.aar)},
       "IncompleteSet"},
      {"set 1 incomplete and set 3 missing: the lower fault first",
       {field("ARC-Seal", one.seal), field("ARC-Seal", three.seal), field("ARC-Seal", two.seal)},
       "IncompleteSet"},
      {"only instance 50", {field("ARC-Seal", "i=50; cv=pass")}, "ChainGap"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(errorOrCount(collectArcSets(c.headers)), c.want) << "input " << c.what;
  }
}

TEST(CollectArcSets, FiftySetsAreTheLimit) {
  std::vector<SetText> texts;
  for (int i = 1; i <= 51; ++i) texts.push_back(setText(i, i == 1 ? "none" : "pass"));
  std::vector<HeaderField> headers;
  for (int i = 49; i >= 0; --i) {
    headers.push_back(field("ARC-Seal", texts[i].seal));
    headers.push_back(field("ARC-Message-Signature", texts[i].ams));
    headers.push_back(field("ARC-Authentication-Results", texts[i].aar));
  }
  Result<std::vector<ArcSet>> sets = collectArcSets(headers);
  ASSERT_TRUE(sets) << errorName(sets.error());
  ASSERT_EQ(sets->size(), 50u);
  for (size_t p = 0; p < sets->size(); ++p) EXPECT_EQ((*sets)[p].instance, p + 1);
  EXPECT_FALSE(checkChainStructure(*sets));

  headers.insert(headers.begin(), field("ARC-Authentication-Results", texts[50].aar));
  EXPECT_EQ(errorOrCount(collectArcSets(headers)), "ChainTooLong");
}

TEST(CollectArcSets, TakesTheTagsOfEachSet) {
  const std::vector<HeaderField> headers = {
      field("ARC-Seal", "i=1; a=rsa-sha256; cv=None; d=seal.example; s=s1;\r\n\tb=Zm9v\r\n\tYmFy"),
      HeaderField{"ARC-Message-Signature",
                  "i=1; a=rsa-sha256; c=simple/relaxed; d=ams.example; s=s2;\r\n\th=From : To; "
                  "bh=AAAA; b=BB BB",
                  false},
      field("ARC-Authentication-Results", "i=1; mx.example; spf=pass"),
      field("From", "a@example.org"),
  };
  Result<std::vector<ArcSet>> sets = collectArcSets(headers);
  ASSERT_TRUE(sets) << errorName(sets.error());
  ASSERT_EQ(sets->size(), 1u);
  const ArcSet& s = (*sets)[0];
  EXPECT_EQ(s.instance, 1);
  EXPECT_EQ(s.aarValue, headers[2].value);
  EXPECT_EQ(s.amsValue, headers[1].value);
  EXPECT_EQ(s.sealValue, headers[0].value);
  EXPECT_EQ(s.amsA, "rsa-sha256");
  EXPECT_EQ(s.amsC, "simple/relaxed");
  EXPECT_EQ(s.amsD, "ams.example");
  EXPECT_EQ(s.amsS, "s2");
  EXPECT_EQ(s.amsH, "From : To");
  EXPECT_EQ(s.amsBh, "AAAA");
  EXPECT_EQ(s.amsB, "BB BB");
  EXPECT_FALSE(s.amsLeadingSpace);
  EXPECT_EQ(s.sealA, "rsa-sha256");
  EXPECT_EQ(s.sealD, "seal.example");
  EXPECT_EQ(s.sealS, "s1");
  EXPECT_EQ(s.sealB, "Zm9v\r\n\tYmFy");
  EXPECT_EQ(s.sealCv, Cv::None);
  // The views point into the header values, not into copies.
  EXPECT_GE(s.amsD.data(), headers[1].value.data());
  EXPECT_LE(s.amsD.data() + s.amsD.size(), headers[1].value.data() + headers[1].value.size());
}

TEST(CollectArcSets, CanonicalizationAndCvDefaults) {
  struct Case {
    std::string_view ams, seal;
    std::string_view wantC;
    Cv wantCv;
  };
  const Case cases[] = {
      {"i=1; b=x", "i=1; cv=none", "relaxed/relaxed", Cv::None},
      {"i=1; c=; b=x", "i=1; cv=PASS", "", Cv::Pass},
      {"i=1; c=simple; b=x", "i=1; cv=fail", "simple", Cv::Fail},
      {"i=1; c= relaxed ; b=x", "i=1; cv=maybe", "relaxed", Cv::Unknown},
      {"i=1; b=x", "i=1; a=rsa-sha256", "relaxed/relaxed", Cv::Unknown},
      {"i=1; b=x", "i=1; cv=", "relaxed/relaxed", Cv::Unknown},
  };
  for (const Case& c : cases) {
    const std::vector<HeaderField> headers = {field("ARC-Seal", c.seal),
                                              field("ARC-Message-Signature", c.ams),
                                              field("ARC-Authentication-Results", "i=1; mx")};
    Result<std::vector<ArcSet>> sets = collectArcSets(headers);
    ASSERT_TRUE(sets) << c.ams;
    EXPECT_EQ((*sets)[0].amsC, c.wantC) << "input " << c.ams << ": got " << (*sets)[0].amsC;
    EXPECT_EQ((*sets)[0].sealCv, c.wantCv)
        << "input " << c.seal << ": got " << cvName((*sets)[0].sealCv) << ", want "
        << cvName(c.wantCv);
  }
}

TEST(CollectArcSets, OutOfMemoryBuildingTheList) {
  SetText one = setText(1, "none");
  const std::vector<HeaderField> headers = {field("ARC-Seal", one.seal),
                                            field("ARC-Message-Signature", one.ams),
                                            field("ARC-Authentication-Results", one.aar)};
  int64_t runs = testing::forEachAllocationFailure([&] {
    Result<std::vector<ArcSet>> sets = collectArcSets(headers);
    // Compared without building strings: nothing may allocate while failures are armed.
    if (testing::failedAllocations() > 0) {
      EXPECT_TRUE(!sets && sets.error() == Error::OutOfMemory);
    } else {
      EXPECT_EQ(sets ? sets->size() : 0u, 1u);
    }
  });
  EXPECT_GE(runs, 2);
}

TEST(BrokenChainReason, EveryCollectionError) {
  struct Case {
    Error error;
    std::string_view want;
  };
  const Case cases[] = {
      {Error::MalformedInstance, "broken ARC chain: malformed i= tag"},
      {Error::ChainTooLong, "broken ARC chain: too many instances"},
      {Error::DuplicateHeader, "broken ARC chain: duplicate header in instance"},
      {Error::MalformedTagList, "broken ARC chain: malformed tag list"},
      {Error::ChainGap, "broken ARC chain: missing instance"},
      {Error::IncompleteSet, "broken ARC chain: incomplete instance"},
      {Error::InvalidPadding, "broken ARC chain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(brokenChainReason(c.error), c.want) << "input " << errorName(c.error);
  }
}

ArcSet completeSet(uint8_t instance, Cv cv) {
  ArcSet set;
  set.instance = instance;
  set.aarValue = "aar";
  set.amsValue = "ams";
  set.sealValue = "seal";
  set.sealCv = cv;
  return set;
}

std::string show(const std::optional<ChainResult>& r) {
  if (!r) return "sound";
  return std::string(cvName(r->cv)) + " i=" + std::to_string(r->instance) + " " +
         std::string(r->reason);
}

TEST(CheckChainStructure, RulesInOrder) {
  ArcSet noSeal = completeSet(2, Cv::Pass);
  noSeal.sealValue = {};
  struct Case {
    std::string_view what;
    std::vector<ArcSet> sets;
    std::string want;
  };
  const Case cases[] = {
      {"one set cv=none", {completeSet(1, Cv::None)}, "sound"},
      {"three sets",
       {completeSet(1, Cv::None), completeSet(2, Cv::Pass), completeSet(3, Cv::Pass)},
       "sound"},
      {"single set cv=pass", {completeSet(1, Cv::Pass)}, "fail i=1 first ARC-Seal cv must be none"},
      {"second seal cv=none",
       {completeSet(1, Cv::None), completeSet(2, Cv::None)},
       "fail i=2 ARC-Seal cv must be pass for i>1"},
      {"newest seal cv=fail",
       {completeSet(1, Cv::None), completeSet(2, Cv::Pass), completeSet(3, Cv::Fail)},
       "fail i=3 ARC-Seal cv must be pass for i>1"},
      {"second seal cv unknown",
       {completeSet(1, Cv::None), completeSet(2, Cv::Unknown)},
       "fail i=2 ARC-Seal cv must be pass for i>1"},
      {"gap after 1",
       {completeSet(1, Cv::None), completeSet(3, Cv::Pass)},
       "fail i=1 instance gap in ARC chain"},
      {"starts at 2", {completeSet(2, Cv::Pass)}, "fail i=0 instance gap in ARC chain"},
      {"incomplete before a cv fault",
       {completeSet(1, Cv::Pass), noSeal},
       "fail i=2 incomplete ARC set"},
      {"gap checked set by set",
       {completeSet(1, Cv::None), noSeal, completeSet(4, Cv::Pass)},
       "fail i=2 incomplete ARC set"},
  };
  for (const Case& c : cases) {
    std::optional<ChainResult> got = checkChainStructure(c.sets);
    EXPECT_EQ(show(got), c.want) << "input " << c.what;
    if (got) {
      EXPECT_EQ(got->failureClass, FailureClass::None) << "input " << c.what;
    }
  }
}

}  // namespace
}  // namespace tollbrook
