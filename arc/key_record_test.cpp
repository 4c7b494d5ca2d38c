#include "arc/key_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/key_record_test_support.h"

namespace tollbrook {
namespace {

using testkeys::keyRecordText;
using testkeys::txtRecord;

TEST(KeyRecordName, JoinsSelectorAndDomainAsWritten) {
  struct Case {
    std::string_view selector, domain, want;
  };
  const Case cases[] = {
      {"sel", "example", "sel._domainkey.example"},
      {"SEL", "Example.ORG", "SEL._domainkey.Example.ORG"},
      {"", "example.org", "._domainkey.example.org"},
      {"a.b", "example.org.", "a.b._domainkey.example.org."},
  };
  for (const Case& c : cases) {
    Result<std::string> name = keyRecordName(c.selector, c.domain);
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, c.want) << "input " << c.selector << " " << c.domain;
  }
}

TEST(KeyRecordName, RefusesNamesThatWouldBeQueriedElsewhere) {
  struct Case {
    std::string_view selector, domain;
    bool want;
  };
  const Case cases[] = {
      {"sel", "example.org", true},
      {"sel", "example.org.", true},
      {"", "example.org", false},
      {"sel", "", false},
      {"", "", false},
      {".sel", "example.org", false},
      {".", "example.org", false},
      {"a.b", "example.org", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(keyRecordNameIsSound(c.selector, c.domain), c.want)
        << "input s=" << c.selector << " d=" << c.domain;
  }
}

TEST(ClassifyDnsError, PermanentInternalAndTransient) {
  struct Case {
    Error error;
    VerifyOutcome want;
  };
  const Case cases[] = {
      {Error::DnsNameError, VerifyOutcome::Permanent},
      {Error::EmptyLabel, VerifyOutcome::Permanent},
      {Error::LabelTooLong, VerifyOutcome::Permanent},
      {Error::TooManyLabels, VerifyOutcome::Permanent},
      {Error::NameTooLong, VerifyOutcome::Permanent},
      {Error::OutOfMemory, VerifyOutcome::Internal},
      {Error::DnsTimeout, VerifyOutcome::Transient},
      {Error::DnsServerFailure, VerifyOutcome::Transient},
      {Error::DnsNoHealthyServers, VerifyOutcome::Transient},
      {Error::IdMismatch, VerifyOutcome::Transient},
      {Error::PacketTooShort, VerifyOutcome::Transient},
      {Error::ConnectionRefused, VerifyOutcome::Transient},
      {Error::WouldBlock, VerifyOutcome::Transient},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(verifyOutcomeName(classifyDnsError(c.error)), verifyOutcomeName(c.want))
        << "input " << errorName(c.error);
  }
}

TEST(HasUsableKey, NeedsATxtRecordWithNonEmptyP) {
  DnsRecord cname{"sel._domainkey.example.org", "p=abc", 300, 5};
  struct Case {
    std::string_view what;
    std::vector<DnsRecord> answers;
    bool want;
  };
  const Case cases[] = {
      {"no records", {}, false},
      {"revoked key", {txtRecord("v=DKIM1; p=")}, false},
      {"no p tag", {txtRecord("v=DKIM1; k=rsa")}, false},
      {"p= not a TXT record", {cname}, false},
      {"revoked then usable", {txtRecord("p="), txtRecord("p=abc")}, true},
      {"junk p still counts", {txtRecord("p=!!!")}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(hasUsableKey(c.answers), c.want) << "input " << c.what;
}

class VerifyWithKeyRecordsTest : public ::testing::Test {
 protected:
  static constexpr std::string_view kInput = "signed bytes\r\n";

  VerifyResult verify(const std::vector<DnsRecord>& records, uint8_t maxKeyRecords,
                      uint32_t minimumKeyBits = 1024, const testkeys::TestKey& signer = good()) {
    const std::string signature = testkeys::signSha256(signer, kInput);
    KeyVerification input{records,        kInput,        signature,
                          minimumKeyBits, maxKeyRecords, kSealKeyLabels};
    return verifyWithKeyRecords(input, cache_);
  }

  static const testkeys::TestKey& good() { return testkeys::rsaKey(1024); }

  PublicKeyCache cache_;
};

std::string show(const VerifyResult& r) {
  return std::string(verifyOutcomeName(r.outcome)) + " \"" + std::string(r.reason) + "\"";
}

TEST_F(VerifyWithKeyRecordsTest, DecisiveRecordAndLimits) {
  const DnsRecord goodKey = txtRecord(keyRecordText(good()));
  const DnsRecord junk = txtRecord("v=DKIM1; p=MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA");
  const DnsRecord badBase64 = txtRecord("p=*not base64*");
  const DnsRecord wrongKey = txtRecord(keyRecordText(testkeys::otherRsaKey()));
  const DnsRecord small = txtRecord(keyRecordText(testkeys::rsaKey(512)));
  const DnsRecord ec = txtRecord(keyRecordText(testkeys::ecKey()));
  const DnsRecord revoked = txtRecord("v=DKIM1; p=");
  const DnsRecord noP = txtRecord("v=DKIM1; k=rsa");
  const DnsRecord cname{"sel._domainkey.example.org", goodKey.data, 300, 5};
  const std::string ok = "ok \"\"";
  const std::string permanent = "permanent \"\"";
  const std::string below = "permanent \"ARC-Seal signed with an RSA key below the minimum size\"";
  const std::string notRsa = "permanent \"ARC-Seal key record p= is not an RSA key\"";

  std::vector<DnsRecord> nineJunkThenGood(9, junk);
  nineJunkThenGood.push_back(goodKey);
  std::vector<DnsRecord> sevenJunkThenGood(7, junk);
  sevenJunkThenGood.push_back(goodKey);

  struct Case {
    std::string_view what;
    std::vector<DnsRecord> records;
    uint8_t maxKeyRecords;
    uint32_t minimumKeyBits;
    std::string want;
  };
  const Case cases[] = {
      {"the right key", {goodKey}, 3, 1024, ok},
      {"unparsable key, then the right one", {junk, goodKey}, 2, 1024, ok},
      {"unparsable key, then the right one, limit 1", {junk, goodKey}, 1, 1024, permanent},
      {"records without p do not count", {noP, revoked, cname, goodKey}, 1, 1024, ok},
      {"undecodable Base64", {badBase64}, 3, 1024, permanent},
      {"wrong key", {wrongKey}, 3, 1024, permanent},
      {"512-bit key", {small}, 3, 1024, below},
      {"1024-bit key under a 2048 minimum", {goodKey}, 3, 2048, below},
      {"EC key", {ec}, 3, 1024, notRsa},
      {"EC key, then the right one", {ec, goodKey}, 3, 1024, ok},
      {"the first record's reason decides", {small, ec}, 3, 1024, below},
      {"a later reason is never reported", {wrongKey, ec}, 3, 1024, permanent},
      {"limit 0 tries nothing", {goodKey}, 0, 1024, permanent},
      {"no records", {}, 3, 1024, permanent},
      {"only revoked keys", {revoked}, 3, 1024, permanent},
      {"limit above 8 acts as 8", nineJunkThenGood, 20, 1024, permanent},
      {"eighth record is still tried", sevenJunkThenGood, 20, 1024, ok},
  };
  for (const Case& c : cases) {
    VerifyResult got = verify(c.records, c.maxKeyRecords, c.minimumKeyBits);
    EXPECT_EQ(show(got), c.want) << "input " << c.what;
  }
}

TEST_F(VerifyWithKeyRecordsTest, CachedAndUncachedKeysGiveTheSameOutcomes) {
  const std::vector<DnsRecord> records = {txtRecord(keyRecordText(testkeys::rsaKey(512))),
                                          txtRecord(keyRecordText(good()))};
  PublicKeyCache uncached(0);
  const std::string signature = testkeys::signSha256(good(), kInput);
  for (int round = 0; round < 3; ++round) {
    for (uint8_t limit : {uint8_t{1}, uint8_t{2}}) {
      KeyVerification input{records, kInput, signature, 1024, limit, kAmsKeyLabels};
      EXPECT_EQ(show(verifyWithKeyRecords(input, cache_)),
                show(verifyWithKeyRecords(input, uncached)))
          << "round " << round << " limit " << int{limit};
    }
  }
  EXPECT_EQ(cache_.size(), 2u);
  EXPECT_EQ(uncached.size(), 0u);
}

TEST_F(VerifyWithKeyRecordsTest, OutOfMemoryIsInternalNeverAFailedSignature) {
  const std::vector<DnsRecord> records = {txtRecord(keyRecordText(good()))};
  const std::string signature = testkeys::signSha256(good(), kInput);
  int64_t runs = testing::forEachAllocationFailure([&] {
    PublicKeyCache cache;
    KeyVerification input{records, kInput, signature, 1024, 3, kAmsKeyLabels};
    VerifyResult got = verifyWithKeyRecords(input, cache);
    // Compared field by field: nothing may allocate while failures are armed.
    EXPECT_TRUE(got.reason.empty());
    if (testing::failedAllocations() > 0) {
      EXPECT_EQ(got.outcome, VerifyOutcome::Internal);
    } else {
      EXPECT_EQ(got.outcome, VerifyOutcome::Ok);
    }
  });
  EXPECT_GE(runs, 2);
}

TEST(PublicKeyCache, KeepsKeysByExactTextWithinItsBound) {
  PublicKeyCache cache(2);
  const std::string a = testkeys::rsaKey(1024).pValue;
  const std::string b = testkeys::otherRsaKey().pValue;
  const std::string c = testkeys::ecKey().pValue;
  Result<EVP_PKEY*> first = cache.find(a);
  ASSERT_TRUE(first);
  Result<EVP_PKEY*> again = cache.find(a);
  ASSERT_TRUE(again);
  EXPECT_EQ(*first, *again) << "a hit returns the decoded key";
  // Base64 with folding whitespace is a different text and a different entry,
  // although it decodes to the same key.
  std::string folded = a.substr(0, 10) + " \r\n " + a.substr(10);
  ASSERT_TRUE(cache.find(folded));
  EXPECT_EQ(cache.size(), 2u);
  ASSERT_TRUE(cache.find(b));
  EXPECT_EQ(cache.size(), 2u) << "the oldest entry was evicted";
  EXPECT_FALSE(cache.find("not base64!"));
  EXPECT_EQ(cache.find("AAAA").error(), Error::KeyParseFailed);
  EXPECT_EQ(cache.size(), 2u) << "failures are not remembered";
  ASSERT_TRUE(cache.find(c));
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
}  // namespace tollbrook
