#include "arc/key_record.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include <openssl/evp.h>

#include "core/tag_list.h"
#include "crypto/openssl_owners.h"

namespace tollbrook {

std::string_view verifyOutcomeName(VerifyOutcome outcome) {
  switch (outcome) {
    case VerifyOutcome::Ok:
      return "ok";
    case VerifyOutcome::Permanent:
      return "permanent";
    case VerifyOutcome::Transient:
      return "transient";
    case VerifyOutcome::Internal:
      break;
  }
  return "internal";
}

Result<std::string> keyRecordName(std::string_view selector, std::string_view domain) {
  constexpr std::string_view kMiddle = "._domainkey.";
  try {
    std::string name;
    name.reserve(selector.size() + kMiddle.size() + domain.size());
    name.append(selector).append(kMiddle).append(domain);
    return name;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

bool keyRecordNameIsSound(std::string_view selector, std::string_view domain) {
  return !selector.empty() && !domain.empty() && selector.front() != '.';
}

VerifyOutcome classifyDnsError(Error error) {
  switch (error) {
    case Error::DnsNameError:
    case Error::EmptyLabel:
    case Error::LabelTooLong:
    case Error::TooManyLabels:
    case Error::NameTooLong:
      return VerifyOutcome::Permanent;
    case Error::OutOfMemory:
      return VerifyOutcome::Internal;
    default:
      return VerifyOutcome::Transient;
  }
}

namespace {

// The non-empty p= value of a TXT record, if it has one.
std::optional<std::string_view> usableKeyText(const DnsRecord& record) {
  if (record.type != kDnsTypeTxt) return std::nullopt;
  std::optional<std::string_view> p = findTag(record.data, "p");
  if (!p || p->empty()) return std::nullopt;
  return p;
}

// RSASSA-PKCS1-v1_5 with SHA-256, OpenSSL's default padding for RSA keys.
bool signatureVerifies(EVP_PKEY* key, std::string_view input, std::string_view signature) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
  if (EVP_DigestVerifyUpdate(ctx.get(), input.data(), input.size()) != 1) return false;
  return EVP_DigestVerifyFinal(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                               signature.size()) == 1;
}

// The outcome of one record on its own.
VerifyResult tryRecord(const KeyVerification& input, std::string_view keyText,
                       PublicKeyCache& keys) {
  Result<EVP_PKEY*> key = keys.find(keyText);
  if (!key) {
    return {key.error() == Error::OutOfMemory ? VerifyOutcome::Internal : VerifyOutcome::Permanent,
            {}};
  }
  int bits = EVP_PKEY_get_bits(*key);
  if (EVP_PKEY_get_base_id(*key) != EVP_PKEY_RSA || bits <= 0) {
    return {VerifyOutcome::Permanent, input.labels.notRsaKey};
  }
  if (static_cast<uint32_t>(bits) < input.minimumKeyBits) {
    return {VerifyOutcome::Permanent, input.labels.belowMinimumSize};
  }
  if (!signatureVerifies(*key, input.signingInput, input.signature)) {
    return {VerifyOutcome::Permanent, {}};
  }
  return {VerifyOutcome::Ok, {}};
}

}  // namespace

bool hasUsableKey(std::span<const DnsRecord> answers) {
  return std::any_of(answers.begin(), answers.end(),
                     [](const DnsRecord& r) { return usableKeyText(r).has_value(); });
}

VerifyResult verifyWithKeyRecords(const KeyVerification& input, PublicKeyCache& keys) {
  constexpr uint8_t kRecordCap = 8;
  const uint8_t limit = std::min(input.maxKeyRecords, kRecordCap);
  uint8_t tried = 0;
  std::optional<VerifyResult> decisive;
  for (const DnsRecord& record : input.records) {
    std::optional<std::string_view> keyText = usableKeyText(record);
    if (!keyText) continue;
    if (tried == limit) break;
    ++tried;
    VerifyResult result = tryRecord(input, *keyText, keys);
    if (result.outcome == VerifyOutcome::Ok) return result;
    if (!decisive) decisive = result;
  }
  return decisive.value_or(VerifyResult{VerifyOutcome::Permanent, {}});
}

}  // namespace tollbrook
