// Fuzz target: the TXT key records a nameserver returns for a signature's
// selector and domain. Drives the key record reader (p= lookup, usable-key
// test), the p= decoding into a public key and its per-thread cache,
// verification against the records, and the key record name with the query
// that would ask for it.
//
// Input: up to eight TXT record texts separated by NUL bytes. The first
// record's s= and d= tags name the key record; its b= tag, decoded, is the
// signature tried against every record.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arc/key_record.h"
#include "arc/public_key_cache.h"
#include "core/base64.h"
#include "core/tag_list.h"
#include "dns/dns_record.h"
#include "dns/query.h"
#include "dns/response.h"

namespace {

using namespace tollbrook;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool inside(std::string_view outer, std::string_view view) {
  return view.empty() ||
         (view.data() >= outer.data() && view.data() + view.size() <= outer.data() + outer.size());
}

// Every tag a record yields is a view into that record.
std::optional<std::string_view> tagOf(const DnsRecord& record, std::string_view name) {
  std::optional<std::string_view> value = findTag(record.data, name);
  if (value) check(inside(record.data, *value));
  return value;
}

// A decoded key and the cache agree, and a second lookup is a cache hit.
void checkKey(std::string_view pValue, PublicKeyCache& cache) {
  Result<EvpPkeyPtr> decoded = decodePublicKey(pValue);
  Result<EVP_PKEY*> cached = cache.find(pValue);
  check(decoded.has_value() == cached.has_value());
  if (!decoded) {
    check(decoded.error() == cached.error());
    return;
  }
  check(*cached != nullptr && EVP_PKEY_eq(decoded->get(), *cached) == 1);
  Result<EVP_PKEY*> again = cache.find(pValue);
  check(again && *again == *cached);
  check(cache.size() <= 2);
}

// The name a signature's s= and d= point to, and the question asking for it:
// the question's name reads back as the name less one leading and one
// trailing dot.
void checkName(std::string_view selector, std::string_view domain) {
  Result<std::string> name = keyRecordName(selector, domain);
  if (!name) return;
  check(*name == std::string(selector) + "._domainkey." + std::string(domain));
  if (keyRecordNameIsSound(selector, domain)) check(!selector.empty() && !domain.empty());
  Result<std::string> query = buildTxtQuery(*name, 0x1234);
  if (!query) return;
  Result<std::string> question = readName(*query, kDnsHeaderLength);
  check(question.has_value());
  std::string_view expected = *name;
  if (expected.starts_with('.')) expected.remove_prefix(1);
  if (expected.ends_with('.')) expected.remove_suffix(1);
  check(*question == expected);
}

void checkVerification(const std::vector<DnsRecord>& records, std::string_view signature,
                       PublicKeyCache& cache, uint8_t maxRecords) {
  KeyVerification input;
  input.records = records;
  input.signingInput = "arc-seal:i=1; a=rsa-sha256; cv=none; d=example.org; s=sel; b=";
  input.signature = signature;
  input.maxKeyRecords = maxRecords;
  input.labels = kSealKeyLabels;
  VerifyResult result = verifyWithKeyRecords(input, cache);
  check(result.outcome != VerifyOutcome::Transient);
  check(result.reason.empty() || result.reason == kSealKeyLabels.belowMinimumSize ||
        result.reason == kSealKeyLabels.notRsaKey);
  if (!hasUsableKey(records) || maxRecords == 0) {
    check(result.outcome == VerifyOutcome::Permanent && result.reason.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<DnsRecord> records;
  while (records.size() < 8) {
    size_t end = input.find('\0');
    records.push_back(DnsRecord{"sel._domainkey.example.org", std::string(input.substr(0, end)),
                                300, kDnsTypeTxt});
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }

  // A small cache, so eviction runs too.
  PublicKeyCache cache(2);
  bool usable = false;
  for (const DnsRecord& record : records) {
    (void)validateTagList(record.data);
    (void)tagOf(record, "v");
    (void)tagOf(record, "k");
    std::optional<std::string_view> p = tagOf(record, "p");
    if (!p || p->empty()) continue;
    usable = true;
    checkKey(*p, cache);
  }
  check(hasUsableKey(records) == usable);

  const DnsRecord& first = records.front();
  checkName(tagOf(first, "s").value_or(""), tagOf(first, "d").value_or(""));

  std::string signature(128, '\x5a');
  if (std::optional<std::string_view> b = tagOf(first, "b")) {
    if (Result<std::string> decoded = base64Decode(*b)) signature = std::move(*decoded);
  }
  uint8_t maxRecords = static_cast<uint8_t>(first.data.empty() ? 3 : first.data.front() % 10);
  checkVerification(records, signature, cache, maxRecords);
  return 0;
}
