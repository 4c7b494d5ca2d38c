// Key records of ARC signatures: the DNS name a signature's s= and d= point
// to, how resolver failures are classed, whether an answer holds a key at all,
// and RSA-SHA256 verification against the key records of an answer. Runs on
// the calling thread with that thread's key cache; holds no state of its own.
#ifndef TOLLBROOK_ARC_KEY_RECORD_H_
#define TOLLBROOK_ARC_KEY_RECORD_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "arc/public_key_cache.h"
#include "base/error.h"
#include "dns/dns_record.h"

namespace tollbrook {

enum class VerifyOutcome : uint8_t { Ok, Permanent, Transient, Internal };

// "ok", "permanent", "transient" or "internal". Static storage.
std::string_view verifyOutcomeName(VerifyOutcome outcome);

// The reasons a verification reports for a key that is too small or not RSA.
struct KeyLabels {
  std::string_view belowMinimumSize;
  std::string_view notRsaKey;
};

inline constexpr KeyLabels kAmsKeyLabels{"AMS signed with an RSA key below the minimum size",
                                         "AMS key record p= is not an RSA key"};
inline constexpr KeyLabels kSealKeyLabels{"ARC-Seal signed with an RSA key below the minimum size",
                                          "ARC-Seal key record p= is not an RSA key"};

// selector "._domainkey." domain, exactly as written. Error: OutOfMemory.
[[nodiscard]] Result<std::string> keyRecordName(std::string_view selector, std::string_view domain);

// False when the name keyRecordName would build cannot be the key of this
// signature: an empty selector or domain, or a selector starting with '.'.
// The query encoder drops one leading dot, so such a name would be looked up
// as a different, valid name (an empty s= would query "_domainkey.example").
bool keyRecordNameIsSound(std::string_view selector, std::string_view domain);

// permanent for a name that does not exist or cannot be queried, internal for
// OutOfMemory, transient for every other resolver error.
VerifyOutcome classifyDnsError(Error error);

// True when a TXT answer has a p= tag with a non-empty value.
bool hasUsableKey(std::span<const DnsRecord> answers);

struct KeyVerification {
  std::span<const DnsRecord> records;  // the answer, in resolver order
  std::string_view signingInput;
  std::string_view signature;  // decoded b= bytes
  uint32_t minimumKeyBits = 1024;
  uint8_t maxKeyRecords = 3;  // above 8 acts as 8
  KeyLabels labels = kAmsKeyLabels;
};

struct VerifyResult {
  VerifyOutcome outcome = VerifyOutcome::Permanent;
  std::string_view reason;  // one of the labels, or empty; static storage
};

// Tries the records that carry a non-empty p=, at most min(maxKeyRecords, 8).
// The first one tried decides the outcome and reason unless a later one
// verifies. Never transient. Keys are decoded through `keys`.
VerifyResult verifyWithKeyRecords(const KeyVerification& input, PublicKeyCache& keys);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_KEY_RECORD_H_
