// Test-only helpers for arc/ unit tests: RSA and EC keys made with OpenSSL,
// their p= texts, raw RSA-SHA256 signatures and TXT answers. Nothing here uses
// the code under test, so a signature checked by it is independent evidence.
#ifndef TOLLBROOK_TESTSUPPORT_KEY_RECORD_TEST_SUPPORT_H_
#define TOLLBROOK_TESTSUPPORT_KEY_RECORD_TEST_SUPPORT_H_

#include <string>
#include <string_view>

#include "crypto/private_key.h"
#include "dns/dns_record.h"

namespace tollbrook::testkeys {

struct TestKey {
  EvpPkeyPtr key;
  std::string pValue;  // Base64 of the DER SubjectPublicKeyInfo
};

// Generated once per process and kept (key generation is slow).
const TestKey& rsaKey(int bits);
const TestKey& otherRsaKey();  // a second 1024-bit key
const TestKey& ecKey();        // P-256

// RSASSA-PKCS1-v1_5 over SHA-256, as raw bytes.
std::string signSha256(const TestKey& key, std::string_view data);
std::string base64(std::string_view bytes);

DnsRecord txtRecord(std::string data, std::string name = "sel._domainkey.example.org");
// "v=DKIM1; k=rsa; p=" followed by the key's p= text.
std::string keyRecordText(const TestKey& key);

}  // namespace tollbrook::testkeys

#endif  // TOLLBROOK_TESTSUPPORT_KEY_RECORD_TEST_SUPPORT_H_
