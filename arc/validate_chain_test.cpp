#include "arc/validate_chain.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"
#include "testsupport/alloc_failure.h"
#include "testsupport/key_record_test_support.h"

namespace tollbrook {
namespace {

using testkeys::TestKey;

// How one hop seals. Texts are written into the tags as given.
struct Hop {
  std::string cv;          // empty: none for the first hop, pass for later ones
  std::string bodySuffix;  // appended to the body before this hop seals
  std::string amsA = "rsa-sha256", sealA = "rsa-sha256";
  std::string amsC = "c=relaxed/relaxed; ";
  std::string amsH = "from:subject";
  std::string amsS = "ams", amsD = "example.org";
  std::string sealS = "seal", sealD = "example.net";
  std::string sealExtra;  // more tags signed into the seal, such as "h=from; "
  const TestKey* amsKey = &testkeys::rsaKey(1024);
  const TestKey* sealKey = &testkeys::rsaKey(1024);
  bool amsSpaceAfterColon = true;  // how the AMS field is written
};

// A message and the ARC sets its hops added, built with the signing inputs
// and plain OpenSSL signatures. Header views point into `texts`, which never
// moves its elements.
class Chain {
 public:
  Chain() {
    plain("From", "Alice <alice@example.org>");
    plain("To", "bob@example.com");
    plain("Subject", "greetings\r\n\tfrom far away");
    body = "Hello  there \r\n\r\nBye\r\n\r\n";
  }

  void seal(const Hop& hop) {
    const int i = ++instances_;
    const std::string n = std::to_string(i);
    const std::string cv = !hop.cv.empty() ? hop.cv : i == 1 ? "none" : "pass";
    body += hop.bodySuffix;
    std::string aar = "i=" + n + "; mx" + n + ".example; spf=pass smtp.mailfrom=example.org";
    Result<Canonicalization> modes = parseCanonicalization(cTag(hop.amsC));
    CanonicalizationMode bodyMode = modes ? modes->body : CanonicalizationMode::Relaxed;
    CanonicalizationMode headerMode = modes ? modes->header : CanonicalizationMode::Relaxed;
    std::string bh = testkeys::base64(
        std::string(reinterpret_cast<const char*>(canonicalBodyHash(bodyMode, body)->data()), 32));
    std::string ams = "i=" + n + "; a=" + hop.amsA + "; " + hop.amsC + "d=" + hop.amsD +
                      "; s=" + hop.amsS + "; h=" + hop.amsH + "; bh=" + bh + "; b=";
    const std::string amsName =
        hop.amsSpaceAfterColon ? "ARC-Message-Signature: " : "ARC-Message-Signature:";
    std::string amsInput = amsSigningInput(headers, hop.amsH, headerMode, amsName + ams).value();
    ams += testkeys::base64(testkeys::signSha256(*hop.amsKey, amsInput));
    std::string seal = "i=" + n + "; a=" + hop.sealA + "; cv=" + cv + "; " + hop.sealExtra +
                       "d=" + hop.sealD + "; s=" + hop.sealS + "; b=";
    std::string sealInput = sealSigningInput(earlier_, aar, ams, "ARC-Seal: " + seal).value();
    seal += testkeys::base64(testkeys::signSha256(*hop.sealKey, sealInput));
    prepend("ARC-Authentication-Results", aar);
    prepend("ARC-Message-Signature", ams, hop.amsSpaceAfterColon);
    prepend("ARC-Seal", seal);
    const std::string& a = texts_[texts_.size() - 3];
    const std::string& m = texts_[texts_.size() - 2];
    const std::string& s = texts_[texts_.size() - 1];
    earlier_.push_back({a, m, s});
  }

  // Replaces the value of the first header field named `name` (top down)
  // whose value contains `marker`.
  void edit(std::string_view name, std::string_view marker,
            const std::function<void(std::string&)>& change) {
    for (HeaderField& field : headers) {
      if (headerNameEquals(field.name, name) && field.value.find(marker) != std::string::npos) {
        texts_.emplace_back(field.value);
        change(texts_.back());
        field.value = texts_.back();
        return;
      }
    }
    ADD_FAILURE() << "no " << name << " with " << marker;
  }

  void addField(std::string_view name, std::string_view value) { plain(name, value); }

  std::vector<ArcSet> sets() const { return collectArcSets(headers).value(); }

  std::vector<HeaderField> headers;
  std::string body;

 private:
  static std::string cTag(std::string_view tagText) {
    size_t eq = tagText.find('=');
    if (eq == std::string_view::npos) return "relaxed/relaxed";
    std::string value(tagText.substr(eq + 1));
    while (!value.empty() && (value.back() == ' ' || value.back() == ';')) value.pop_back();
    return value;
  }
  // Appends a field at the bottom of the header block.
  void plain(std::string_view name, std::string_view value) {
    texts_.emplace_back(name);
    std::string_view n = texts_.back();
    texts_.emplace_back(value);
    headers.push_back({n, texts_.back(), true});
  }
  void prepend(std::string_view name, std::string value, bool leadingSpace = true) {
    texts_.emplace_back(std::move(value));
    headers.insert(headers.begin(), HeaderField{name, texts_.back(), leadingSpace});
  }

  std::deque<std::string> texts_;
  std::vector<SealedSetText> earlier_;
  int instances_ = 0;
};

// Key records by name, with scripted errors and a count of the lookups.
class FakeDns {
 public:
  FakeDns() {
    publish("ams._domainkey.example.org", testkeys::keyRecordText(testkeys::rsaKey(1024)));
    publish("seal._domainkey.example.net", testkeys::keyRecordText(testkeys::rsaKey(1024)));
  }
  void publish(const std::string& name, std::string text) {
    answers_[name] = std::vector<DnsRecord>{testkeys::txtRecord(std::move(text), name)};
  }
  void publish(const std::string& name, const std::vector<std::string>& texts) {
    std::vector<DnsRecord> records;
    for (const std::string& text : texts) records.push_back(testkeys::txtRecord(text, name));
    answers_[name] = std::move(records);
  }
  void failWith(const std::string& name, Error error) { answers_[name] = fail(error); }

  TxtLookup lookup() {
    // Like the resolver, an allocation failure is an OutOfMemory answer.
    return [this](std::string_view name) -> Result<std::vector<DnsRecord>> {
      try {
        queried.emplace_back(name);
        if (onLookup) onLookup();
        auto found = answers_.find(std::string(name));
        if (found == answers_.end()) return fail(Error::DnsNameError);
        return found->second;
      } catch (const std::bad_alloc&) {
        return fail(Error::OutOfMemory);
      }
    };
  }

  std::vector<std::string> queried;
  std::function<void()> onLookup;

 private:
  std::map<std::string, Result<std::vector<DnsRecord>>> answers_;
};

std::string show(const ChainResult& r) {
  return std::string(cvName(r.cv)) + "/" + std::string(failureClassName(r.failureClass)) +
         " i=" + std::to_string(r.instance) + " \"" + std::string(r.reason) + "\"";
}

class ValidateChainTest : public ::testing::Test {
 protected:
  static Resolver unusedResolver() {
    ResolverSettings settings;
    settings.nameservers = {"127.0.0.1"};
    return Resolver::create(settings).value();
  }

  ChainResult validate(const Chain& chain, int64_t budgetMs = 0, Clock clock = {}) {
    ValidationOptions options{resolver_, keys_, budgetMs, 1024, 3, std::move(clock)};
    std::vector<ArcSet> sets = chain.sets();
    return validateChainWithLookup(options, dns_.lookup(), sets, chain.headers, chain.body);
  }

  static Chain chainOf(int n, const std::function<void(int, Hop&)>& tweak = {}) {
    Chain chain;
    for (int i = 1; i <= n; ++i) {
      Hop hop;
      if (tweak) tweak(i, hop);
      chain.seal(hop);
    }
    return chain;
  }

  Resolver resolver_ = unusedResolver();
  PublicKeyCache keys_;
  FakeDns dns_;
};

TEST_F(ValidateChainTest, ValidChainsPass) {
  for (int n : {1, 2, 3, 5}) {
    Chain chain = chainOf(n);
    EXPECT_EQ(show(validate(chain)), "pass/none i=" + std::to_string(n) + " \"\"")
        << "input " << n << " sets";
  }
  // One AMS key lookup and one seal key lookup per set.
  dns_.queried.clear();
  validate(chainOf(3));
  EXPECT_EQ(dns_.queried.size(), 4u);
}

TEST_F(ValidateChainTest, CanonicalizationsOfTheNewestAms) {
  for (const char* c : {"c=relaxed/relaxed; ", "c=simple/simple; ", "c=relaxed/simple; ",
                        "c=simple; ", "c=; ", ""}) {
    Chain chain = chainOf(2, [&](int, Hop& hop) { hop.amsC = c; });
    EXPECT_EQ(show(validate(chain)), "pass/none i=2 \"\"") << "input " << c;
  }
}

TEST_F(ValidateChainTest, TheAmsFieldIsRebuiltAsWritten) {
  // Simple canonicalization signs the field byte for byte, so a missing space
  // after the colon must be missing from the rebuilt field too.
  for (const char* c : {"c=simple/simple; ", "c=relaxed/relaxed; "}) {
    Chain chain = chainOf(1, [&](int, Hop& hop) {
      hop.amsC = c;
      hop.amsSpaceAfterColon = false;
    });
    EXPECT_FALSE(chain.sets()[0].amsLeadingSpace);
    EXPECT_EQ(show(validate(chain)), "pass/none i=1 \"\"") << "input " << c;
  }
}

TEST_F(ValidateChainTest, RepeatedFieldsAreSignedFromTheBottom) {
  Chain chain;
  chain.addField("From", "Mallory <mallory@example.net>");
  chain.seal([] {
    Hop hop;
    hop.amsH = "from:from:subject";
    return hop;
  }());
  EXPECT_EQ(show(validate(chain)), "pass/none i=1 \"\"");
  chain.edit("From", "alice", [](std::string& v) { v = "Eve <eve@example.net>"; });
  EXPECT_EQ(show(validate(chain)), "fail/none i=1 \"AMS verification failed for newest set\"");
}

TEST_F(ValidateChainTest, EveryVerdictReason) {
  const TestKey& small = testkeys::rsaKey(512);
  struct Case {
    std::string_view what;
    int sets;
    std::function<void(int, Hop&)> tweak;  // how each hop seals
    std::function<void(Chain&)> tamper;    // what happens after the last hop
    std::function<void(FakeDns&)> dns;     // what the DNS answers
    std::string want;
    int wantQueries = -1;  // -1: not checked
  };
  const Case cases[] = {
      {"single seal cv=pass",
       1,
       [](int, Hop& h) { h.cv = "pass"; },
       {},
       {},
       "fail/none i=1 \"first ARC-Seal cv must be none\"",
       0},
      {"single seal cv=PASS",
       1,
       [](int, Hop& h) { h.cv = "PASS"; },
       {},
       {},
       "fail/none i=1 \"first ARC-Seal cv must be none\"",
       0},
      {"second seal cv=Pass",
       2,
       [](int i, Hop& h) {
         if (i == 2) h.cv = "Pass";
       },
       {},
       {},
       "pass/none i=2 \"\""},
      {"second seal cv=none",
       2,
       [](int, Hop& h) { h.cv = "none"; },
       {},
       {},
       "fail/none i=2 \"ARC-Seal cv must be pass for i>1\"",
       0},
      {"newest seal cv=fail",
       3,
       [](int i, Hop& h) {
         if (i == 3) h.cv = "fail";
       },
       {},
       {},
       "fail/none i=3 \"ARC-Seal cv must be pass for i>1\"",
       0},
      {"body changed",
       3,
       {},
       [](Chain& c) { c.body += "P.S.\r\n"; },
       {},
       "fail/none i=3 \"AMS verification failed for newest set\""},
      {"signed header changed",
       2,
       {},
       [](Chain& c) { c.edit("Subject", "greetings", [](std::string& v) { v[0] = 'G'; }); },
       {},
       "fail/none i=2 \"AMS verification failed for newest set\""},
      {"unsigned header changed",
       2,
       {},
       [](Chain& c) { c.edit("To", "bob", [](std::string& v) { v += ", eve@example.com"; }); },
       {},
       "pass/none i=2 \"\""},
      {"AAR of set 1 changed",
       3,
       {},
       [](Chain& c) {
         c.edit("ARC-Authentication-Results", "i=1", [](std::string& v) { v += "; dkim=pass"; });
       },
       {},
       "fail/none i=1 \"ARC-Seal verification failed\""},
      {"seal of set 2 changed",
       3,
       {},
       [](Chain& c) {
         c.edit("ARC-Seal", "i=2", [](std::string& v) { v.insert(v.find("d="), "t=1; "); });
       },
       {},
       "fail/none i=2 \"ARC-Seal verification failed\""},
      {"older AMS damaged",
       3,
       {},
       [](Chain& c) {
         c.edit("ARC-Message-Signature", "i=1",
                [](std::string& v) { v.replace(v.find("bh=") + 3, 4, "AAAA"); });
       },
       {},
       "fail/none i=1 \"ARC-Seal verification failed\""},
      {"revoked key of seal 1",
       3,
       [](int i, Hop& h) {
         if (i == 1) h.sealS = "old";
       },
       {},
       [](FakeDns& d) { d.publish("old._domainkey.example.net", "v=DKIM1; k=rsa; p="); },
       "fail/none i=1 \"ARC-Seal key record has no p= value\"",
       2},
      {"revoked AMS key",
       1,
       {},
       {},
       [](FakeDns& d) { d.publish("ams._domainkey.example.org", "v=DKIM1; p="); },
       "fail/none i=1 \"AMS key record has no p= value\""},
      {"AMS h= lists arc-seal",
       2,
       [](int, Hop& h) { h.amsH = "from : arc-seal"; },
       {},
       {},
       "fail/none i=2 \"AMS h= covers ARC-Seal\"",
       0},
      {"AMS h= lists ARC-Seal with blanks",
       1,
       [](int, Hop& h) { h.amsH = "from:\r\n\t ARC-Seal \v:to"; },
       {},
       {},
       "fail/none i=1 \"AMS h= covers ARC-Seal\"",
       0},
      {"seal carries h=",
       2,
       [](int i, Hop& h) {
         if (i == 1) h.sealExtra = "h=from; ";
       },
       {},
       {},
       "fail/none i=1 \"ARC-Seal carries a forbidden h= tag (RFC 8617 4.1.3)\""},
      {"seal carries an empty h=",
       1,
       [](int, Hop& h) { h.sealExtra = "h=; "; },
       {},
       {},
       "fail/none i=1 \"ARC-Seal carries a forbidden h= tag (RFC 8617 4.1.3)\""},
      {"AMS without a=",
       1,
       {},
       [](Chain& c) {
         c.edit("ARC-Message-Signature", "i=1",
                [](std::string& v) { v.replace(v.find("a=rsa-sha256; "), 14, ""); });
       },
       {},
       "fail/none i=1 \"AMS has no a= algorithm tag\"",
       0},
      {"AMS a=rsa-sha1",
       1,
       [](int, Hop& h) { h.amsA = "rsa-sha1"; },
       {},
       {},
       "fail/none i=1 \"AMS a= names an unsupported algorithm\"",
       0},
      {"AMS a= in capitals",
       1,
       [](int, Hop& h) { h.amsA = "RSA-SHA256"; },
       {},
       {},
       "fail/none i=1 \"AMS a= names an unsupported algorithm\"",
       0},
      {"seal 2 a= empty",
       2,
       [](int i, Hop& h) {
         if (i == 2) h.sealA = "";
       },
       {},
       {},
       "fail/none i=2 \"ARC-Seal has no a= algorithm tag\""},
      {"seal 1 a=ed25519-sha256",
       2,
       [](int i, Hop& h) {
         if (i == 1) h.sealA = "ed25519-sha256";
       },
       {},
       {},
       "fail/none i=1 \"ARC-Seal a= names an unsupported algorithm\""},
      {"AMS key lookup times out",
       3,
       {},
       {},
       [](FakeDns& d) { d.failWith("ams._domainkey.example.org", Error::DnsTimeout); },
       "unknown/dnsTransient i=3 \"DNS lookup for the AMS key failed transiently\"",
       1},
      {"AMS key does not exist",
       3,
       [](int i, Hop& h) {
         if (i == 3) h.amsS = "gone";
       },
       {},
       {},
       "fail/none i=3 \"AMS verification failed for newest set\"",
       1},
      {"AMS key lookup out of memory",
       1,
       {},
       {},
       [](FakeDns& d) { d.failWith("ams._domainkey.example.org", Error::OutOfMemory); },
       "unknown/internal i=1 \"internal error validating the AMS\""},
      {"seal 2 key lookup fails",
       3,
       [](int i, Hop& h) {
         if (i == 2) h.sealS = "flaky";
       },
       {},
       [](FakeDns& d) { d.failWith("flaky._domainkey.example.net", Error::DnsServerFailure); },
       "unknown/dnsTransient i=2 \"DNS lookup for the ARC-Seal key failed transiently\""},
      {"seal 1 key lookup out of memory",
       2,
       [](int i, Hop& h) {
         if (i == 1) h.sealS = "oom";
       },
       {},
       [](FakeDns& d) { d.failWith("oom._domainkey.example.net", Error::OutOfMemory); },
       "unknown/internal i=1 \"internal error validating an ARC-Seal\""},
      {"seal 1 key name cannot be queried",
       2,
       [](int i, Hop& h) {
         if (i == 1) h.sealD = "a..b";
       },
       {},
       [](FakeDns& d) { d.failWith("seal._domainkey.a..b", Error::EmptyLabel); },
       "fail/none i=1 \"ARC-Seal verification failed\""},
      {"unknown c= after a good lookup",
       1,
       [](int, Hop& h) { h.amsC = "c=Relaxed/relaxed; "; },
       {},
       {},
       "fail/none i=1 \"AMS c= names an unknown canonicalization\"",
       1},
      {"unknown c= hidden by a failed lookup",
       1,
       [](int, Hop& h) { h.amsC = "c=fancy; "; },
       {},
       [](FakeDns& d) { d.failWith("ams._domainkey.example.org", Error::DnsTimeout); },
       "unknown/dnsTransient i=1 \"DNS lookup for the AMS key failed transiently\""},
      {"AMS key below the minimum",
       2,
       [](int i, Hop& h) {
         if (i == 2) {
           h.amsKey = &testkeys::rsaKey(512);
           h.amsS = "small";
         }
       },
       {},
       [&](FakeDns& d) {
         d.publish("small._domainkey.example.org", testkeys::keyRecordText(small));
       },
       "fail/none i=2 \"AMS signed with an RSA key below the minimum size\""},
      {"AMS key not RSA",
       1,
       [](int, Hop& h) { h.amsS = "ec"; },
       {},
       [](FakeDns& d) {
         d.publish("ec._domainkey.example.org", testkeys::keyRecordText(testkeys::ecKey()));
       },
       "fail/none i=1 \"AMS key record p= is not an RSA key\""},
      {"seal key below the minimum",
       2,
       [](int i, Hop& h) {
         if (i == 2) {
           h.sealKey = &testkeys::rsaKey(512);
           h.sealS = "small";
         }
       },
       {},
       [&](FakeDns& d) {
         d.publish("small._domainkey.example.net", testkeys::keyRecordText(small));
       },
       "fail/none i=2 \"ARC-Seal signed with an RSA key below the minimum size\""},
      {"seal key not RSA",
       1,
       [](int, Hop& h) { h.sealS = "ec"; },
       {},
       [](FakeDns& d) {
         d.publish("ec._domainkey.example.net", testkeys::keyRecordText(testkeys::ecKey()));
       },
       "fail/none i=1 \"ARC-Seal key record p= is not an RSA key\""},
      {"seal signed by another key",
       2,
       [](int i, Hop& h) {
         if (i == 2) h.sealKey = &testkeys::otherRsaKey();
       },
       {},
       {},
       "fail/none i=2 \"ARC-Seal verification failed\""},
      {"AMS b= not Base64",
       1,
       {},
       [](Chain& c) { c.edit("ARC-Message-Signature", "i=1", [](std::string& v) { v += "*"; }); },
       {},
       "fail/none i=1 \"AMS verification failed for newest set\""},
      {"AMS bh= of the wrong length",
       1,
       {},
       [](Chain& c) {
         c.edit("ARC-Message-Signature", "i=1",
                [](std::string& v) { v.insert(v.find("bh=") + 3, "AAAA"); });
       },
       {},
       "fail/none i=1 \"AMS verification failed for newest set\""},
      {"seal b= not Base64",
       1,
       {},
       [](Chain& c) { c.edit("ARC-Seal", "i=1", [](std::string& v) { v += "="; }); },
       {},
       "fail/none i=1 \"ARC-Seal verification failed\""},
      // An empty s= or d= would have the lookup sent to "_domainkey.<d>" or
      // "<s>._domainkey"; such signatures are refused without a query.
      {"AMS with an empty s=",
       1,
       [](int, Hop& h) { h.amsS = ""; },
       {},
       [](FakeDns& d) {
         d.publish("_domainkey.example.org", testkeys::keyRecordText(testkeys::rsaKey(1024)));
       },
       "fail/none i=1 \"AMS verification failed for newest set\"",
       0},
      {"AMS without s=",
       1,
       {},
       [](Chain& c) {
         c.edit("ARC-Message-Signature", "i=1",
                [](std::string& v) { v.replace(v.find("s=ams; "), 7, ""); });
       },
       {},
       "fail/none i=1 \"AMS verification failed for newest set\"",
       0},
      {"seal with an empty d=",
       2,
       [](int i, Hop& h) {
         if (i == 2) h.sealD = "";
       },
       {},
       [](FakeDns& d) {
         d.publish("seal._domainkey", testkeys::keyRecordText(testkeys::rsaKey(1024)));
       },
       "fail/none i=2 \"ARC-Seal verification failed\"",
       2},
      {"body changed between hops",
       3,
       [](int i, Hop& h) {
         if (i == 2) h.bodySuffix = "--\r\nfooter\r\n";
       },
       {},
       {},
       "pass/none i=3 \"\""},
  };
  for (const Case& c : cases) {
    Chain chain;
    for (int i = 1; i <= c.sets; ++i) {
      Hop hop;
      if (c.tweak) c.tweak(i, hop);
      chain.seal(hop);
    }
    if (c.tamper) c.tamper(chain);
    dns_ = FakeDns();
    if (c.dns) c.dns(dns_);
    EXPECT_EQ(show(validate(chain)), c.want) << "input " << c.what;
    if (c.wantQueries >= 0) {
      EXPECT_EQ(dns_.queried.size(), static_cast<size_t>(c.wantQueries)) << "input " << c.what;
    }
  }
}

TEST_F(ValidateChainTest, BudgetIsCheckedBeforeTheAmsAndBeforeEachSeal) {
  Chain chain = chainOf(3);
  int64_t now = 1'000'000;
  // Every key fetch takes 150 ms of the budget.
  dns_.onLookup = [&] { now += 150; };
  Clock clock = [&] { return now; };
  EXPECT_EQ(show(validate(chain, 100, clock)),
            "unknown/deadline i=1 \"evaluation deadline exceeded during ARC-Seal checks\"");
  EXPECT_EQ(dns_.queried.size(), 1u) << "only the AMS key was fetched";
  EXPECT_EQ(show(validate(chain, 400, clock)),
            "unknown/deadline i=3 \"evaluation deadline exceeded during ARC-Seal checks\"");
  EXPECT_EQ(show(validate(chain, 0, clock)), "pass/none i=3 \"\"") << "0 switches the budget off";

  // A clock that moves a millisecond per reading spends a 1 ms budget before the AMS step.
  dns_.queried.clear();
  Clock ticking = [&] { return now++; };
  EXPECT_EQ(show(validate(chain, 1, ticking)),
            "unknown/deadline i=3 \"evaluation deadline exceeded before the AMS check\"");
  EXPECT_TRUE(dns_.queried.empty());
  EXPECT_EQ(show(validate(chain, INT64_MAX, clock)), "pass/none i=3 \"\"");
}

TEST_F(ValidateChainTest, OptionsReachKeyVerification) {
  Chain chain = chainOf(1);
  std::vector<ArcSet> sets = chain.sets();
  const TxtLookup lookup = dns_.lookup();
  ValidationOptions strict{resolver_, keys_, 0, 2048, 3, {}};
  EXPECT_EQ(show(validateChainWithLookup(strict, lookup, sets, chain.headers, chain.body)),
            "fail/none i=1 \"AMS signed with an RSA key below the minimum size\"");

  dns_.publish("ams._domainkey.example.org",
               std::vector<std::string>{"p=AAAA", testkeys::keyRecordText(testkeys::rsaKey(1024))});
  ValidationOptions one{resolver_, keys_, 0, 1024, 1, {}};
  EXPECT_EQ(show(validateChainWithLookup(one, lookup, sets, chain.headers, chain.body)),
            "fail/none i=1 \"AMS verification failed for newest set\"");
  ValidationOptions two{resolver_, keys_, 0, 1024, 2, {}};
  EXPECT_EQ(show(validateChainWithLookup(two, lookup, sets, chain.headers, chain.body)),
            "pass/none i=1 \"\"");
}

TEST_F(ValidateChainTest, NoSetsMeansNoChain) {
  Chain chain;
  EXPECT_EQ(show(validate(chain)), "none/none i=0 \"\"");
}

TEST_F(ValidateChainTest, OutOfMemoryIsNeverAVerdict) {
  Chain chain = chainOf(2);
  std::vector<ArcSet> sets = chain.sets();
  const TxtLookup lookup = dns_.lookup();
  int64_t runs = testing::forEachAllocationFailure([&] {
    PublicKeyCache keys;
    ValidationOptions options{resolver_, keys, 0, 1024, 3, {}};
    ChainResult got = validateChainWithLookup(options, lookup, sets, chain.headers, chain.body);
    // Compared field by field: nothing may allocate while failures are armed.
    if (testing::failedAllocations() > 0) {
      EXPECT_EQ(got.failureClass, FailureClass::Internal);
      EXPECT_EQ(got.cv, Cv::Unknown);
    } else {
      EXPECT_TRUE(got.passed());
    }
  });
  EXPECT_GE(runs, 10);
}

}  // namespace
}  // namespace tollbrook
