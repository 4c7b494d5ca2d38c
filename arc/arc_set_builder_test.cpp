#include "arc/arc_set_builder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "core/base64.h"
#include "core/tag_list.h"
#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

const PrivateKey& testKey() {
  static const PrivateKey key(EvpPkeyPtr(EVP_RSA_gen(2048)));
  return key;
}

bool verifies(const PrivateKey& key, std::string_view input, std::string_view signatureB64) {
  auto signature = base64Decode(signatureB64);
  if (!signature) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.pkey()) == 1 &&
            EVP_DigestVerifyUpdate(ctx, input.data(), input.size()) == 1 &&
            EVP_DigestVerifyFinal(ctx, reinterpret_cast<const unsigned char*>(signature->data()),
                                  signature->size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

std::string tag(std::string_view value, std::string_view name) {
  return std::string(findTag(value, name).value_or("(absent)"));
}

struct Fixture {
  std::vector<HeaderField> headers = {
      {"From", "Alice <alice@example.org>", true},
      {"To", "bob@example.net", true},
      {"Subject", "a  folded\r\n\tsubject ", true},
      {"Date", "Mon, 1 Jan 2024 00:00:00 +0000", true},
      {"Message-ID", "<1@example.org>", false},
  };
  std::string body = "Hello  \r\nworld\r\n\r\n\r\n";
  std::vector<std::string_view> methods;
  std::vector<ArcSet> sets;

  MessageToSeal message() const { return MessageToSeal{headers, body, false}; }
  SealRequest request() const {
    SealRequest r;
    r.domain = "example.org";
    r.selector = "sel";
    r.signedHeaders = kDefaultSignedHeaders;
    r.authservId = "auth1";
    r.localMethods = methods;
    r.key = &testKey();
    r.sets = sets;
    r.timestamp = 1700000000;
    r.instance = 1;
    r.cv = Cv::None;
    return r;
  }
};

// The AMS must verify over the input the verifier builds (amsSigningInput).
void expectAmsVerifies(const Fixture& f, const ArcSetValues& set) {
  auto text = arcHeaderText("ARC-Message-Signature", set.ams);
  ASSERT_TRUE(text.has_value());
  auto stripped = stripSignatureValue(*text);
  ASSERT_TRUE(stripped.has_value());
  auto input =
      amsSigningInput(f.headers, tag(set.ams, "h"), CanonicalizationMode::Relaxed, *stripped);
  ASSERT_TRUE(input.has_value());
  EXPECT_TRUE(verifies(testKey(), *input, tag(set.ams, "b")));
}

// Whether the ARC-Seal verifies over the given earlier sets plus the new one.
bool sealVerifies(const ArcSetValues& set, std::span<const SealedSetText> earlier) {
  auto text = arcHeaderText("ARC-Seal", set.seal);
  auto stripped = stripSignatureValue(*text);
  auto input = sealSigningInput(earlier, set.aar, set.ams, *stripped);
  return input && verifies(testKey(), *input, tag(set.seal, "b"));
}

TEST(BuildArcSet, FirstInstanceSignsTemplatesInTagOrder) {
  Fixture f;
  auto set = buildArcSet(f.message(), f.request());
  ASSERT_TRUE(set.has_value()) << set.error().step;
  EXPECT_EQ(set->aar, "i=1; auth1; none");

  auto bodyHash = canonicalBodyHash(CanonicalizationMode::Relaxed, f.body);
  auto bh = base64Encode(std::string_view(reinterpret_cast<const char*>(bodyHash->data()), 32));
  std::string amsPrefix =
      "i=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org;\r\n\ts=sel; t=1700000000; "
      "h=from:to:subject:date:message-id;\r\n\tbh=" +
      *bh + "; b=";
  EXPECT_EQ(set->ams.substr(0, amsPrefix.size()), amsPrefix);
  std::string_view sealPrefix =
      "i=1; cv=none; a=rsa-sha256; d=example.org; s=sel; t=1700000000; b=";
  EXPECT_EQ(set->seal.substr(0, sealPrefix.size()), sealPrefix);
  expectAmsVerifies(f, *set);
  EXPECT_TRUE(sealVerifies(*set, {}));
}

TEST(BuildArcSet, NoLineOfTheWrittenFieldsPasses78Columns) {
  Fixture f;
  auto set = buildArcSet(f.message(), f.request());
  ASSERT_TRUE(set.has_value());
  struct Field {
    std::string_view name;
    const std::string& value;
  } fields[] = {{"ARC-Authentication-Results", set->aar},
                {"ARC-Message-Signature", set->ams},
                {"ARC-Seal", set->seal}};
  for (const Field& field : fields) {
    std::string text = std::string(field.name) + ": " + field.value;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      EXPECT_LE(end - start, 78u) << field.name << " line at " << start;
      start = end + 2;
    }
    EXPECT_EQ(field.value.find("\r\n\r\n"), std::string::npos);
    EXPECT_NE(field.value.back(), '\n');
  }
}

TEST(BuildArcSet, SealCoversEarlierSetsUnlessCvIsFail) {
  Fixture f;
  // Earlier sets are taken as the texts they are; nothing here checks them.
  ArcSet one;
  one.instance = 1;
  one.aarValue = "i=1; other.example; none";
  one.amsValue = "i=1; a=rsa-sha256; d=other.example; s=x; bh=AAAA; b=BBBB";
  one.sealValue = "i=1; cv=none; a=rsa-sha256; d=other.example; s=x; b=CCCC";
  f.sets = {one};
  std::vector<SealedSetText> earlier = {{one.aarValue, one.amsValue, one.sealValue}};

  SealRequest pass = f.request();
  pass.instance = 2;
  pass.cv = Cv::Pass;
  auto passSet = buildArcSet(f.message(), pass);
  ASSERT_TRUE(passSet.has_value());
  EXPECT_EQ(tag(passSet->seal, "cv"), "pass");
  EXPECT_TRUE(sealVerifies(*passSet, earlier));
  EXPECT_FALSE(sealVerifies(*passSet, {}));

  SealRequest failing = pass;
  failing.cv = Cv::Fail;
  auto failSet = buildArcSet(f.message(), failing);
  ASSERT_TRUE(failSet.has_value());
  EXPECT_EQ(tag(failSet->seal, "cv"), "fail");
  EXPECT_EQ(tag(failSet->seal, "i"), "2");
  EXPECT_TRUE(sealVerifies(*failSet, {}));
  EXPECT_FALSE(sealVerifies(*failSet, earlier));
  expectAmsVerifies(f, *failSet);
}

TEST(BuildArcSet, SignedHeadersAreListedAsConfigured) {
  Fixture f;
  f.headers.push_back({"from", "second@example.org", true});
  SealRequest r = f.request();
  r.signedHeaders = "from : to:from:x-absent";
  auto set = buildArcSet(f.message(), r);
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(tag(set->ams, "h"), "from : to:from:x-absent");
  expectAmsVerifies(f, *set);
}

TEST(BuildArcSet, SameInputsGiveTheSameBytes) {
  Fixture f;
  auto a = buildArcSet(f.message(), f.request());
  auto b = buildArcSet(f.message(), f.request());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->aar, b->aar);
  EXPECT_EQ(a->ams, b->ams);
  EXPECT_EQ(a->seal, b->seal);
}

TEST(BuildArcSet, RefusalsNameTheirStep) {
  Fixture f;
  std::string longHeaders(159, 'h');
  PrivateKey emptyKey;
  struct Case {
    std::string_view what;
    SealRequest request;
    MessageToSeal message;
    std::string_view wantStep;
  } cases[] = {
      {"h= of 161 characters", f.request(), f.message(), "formatting the AMS template"},
      {"body copy abandoned", f.request(), f.message(), "the accumulated body is unavailable"},
      {"empty key", f.request(), f.message(), "signing the AMS"},
      {"cv not settled", f.request(), f.message(), "formatting the ARC-Seal template"},
      {"instance 51", f.request(), f.message(), "building the ARC set"},
      {"domain too long for a tag", f.request(), f.message(), "formatting the AMS template"},
  };
  cases[0].request.signedHeaders = longHeaders;
  cases[1].message.bodyIncomplete = true;
  cases[2].request.key = &emptyKey;
  cases[3].request.cv = Cv::Unknown;
  cases[4].request.instance = 51;
  std::string longDomain(159, 'd');
  cases[5].request.domain = longDomain;
  for (const Case& c : cases) {
    auto set = buildArcSet(c.message, c.request);
    ASSERT_FALSE(set.has_value()) << c.what;
    EXPECT_EQ(set.error().step, c.wantStep) << c.what;
  }
  SealRequest fits = f.request();
  std::string longest(158, 'h');  // "h=" + 158 = 160 characters
  fits.signedHeaders = longest;
  EXPECT_TRUE(buildArcSet(f.message(), fits).has_value());
}

TEST(BuildArcSet, AllocationFailuresNameAStepAndReturnNothing) {
  Fixture f;
  f.methods = {"spf"};
  f.headers.push_back(
      {"Authentication-Results", "auth1; spf=pass smtp.mailfrom=alice@example.org", true});
  ArcSet one;
  one.aarValue = "i=1; x; none";
  one.amsValue = "i=1; b=AAAA";
  one.sealValue = "i=1; cv=none; b=BBBB";
  f.sets = {one};
  SealRequest request = f.request();
  request.instance = 2;
  request.cv = Cv::Pass;
  MessageToSeal message = f.message();
  // Recorded into a fixed array: the recording itself must not allocate.
  std::array<std::string_view, 4096> seen;
  size_t count = 0;
  testing::forEachAllocationFailure([&] {
    auto set = buildArcSet(message, request);
    if (!set && count < seen.size()) seen[count++] = set.error().step;
  });
  std::set<std::string_view> steps(seen.begin(), seen.begin() + count);
  std::set<std::string_view> known = {
      "building the ARC-Authentication-Results content",
      "formatting the ARC-Authentication-Results header",
      "canonicalizing the body",
      "finishing body canonicalization",
      "encoding the body hash",
      "formatting the AMS template",
      "canonicalizing the signed headers",
      "formatting the AMS signing input",
      "canonicalizing the AMS header",
      "assembling the AMS signing input",
      "signing the AMS",
      "encoding the AMS signature",
      "folding the AMS signature",
      "formatting the ARC-Seal template",
      "assembling the ARC-Seal signing input",
      "signing the ARC-Seal",
      "encoding the ARC-Seal signature",
      "folding the ARC-Seal signature",
  };
  for (std::string_view step : steps) EXPECT_TRUE(known.contains(step)) << step;
  // Every stage of the build can run out of memory and says where.
  for (std::string_view must :
       {"building the ARC-Authentication-Results content", "formatting the AMS template",
        "canonicalizing the signed headers", "formatting the ARC-Seal template",
        "assembling the ARC-Seal signing input"}) {
    EXPECT_TRUE(steps.contains(must)) << must;
  }
}

}  // namespace
}  // namespace tollbrook
