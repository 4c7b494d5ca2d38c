#include "testsupport/key_record_test_support.h"

#include <map>
#include <memory>
#include <stdexcept>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace tollbrook::testkeys {
namespace {

std::string publicKeyText(EVP_PKEY* key) {
  int length = i2d_PUBKEY(key, nullptr);
  if (length <= 0) throw std::runtime_error("i2d_PUBKEY failed");
  std::string der(static_cast<size_t>(length), '\0');
  unsigned char* cursor = reinterpret_cast<unsigned char*>(der.data());
  i2d_PUBKEY(key, &cursor);
  return base64(der);
}

TestKey wrap(EVP_PKEY* raw) {
  if (raw == nullptr) throw std::runtime_error("key generation failed");
  TestKey key{EvpPkeyPtr(raw), {}};
  key.pValue = publicKeyText(raw);
  return key;
}

}  // namespace

const TestKey& rsaKey(int bits) {
  static std::map<int, TestKey> keys;
  auto found = keys.find(bits);
  if (found == keys.end()) {
    found = keys.emplace(bits, wrap(EVP_RSA_gen(static_cast<unsigned>(bits)))).first;
  }
  return found->second;
}

const TestKey& otherRsaKey() {
  static const TestKey key = wrap(EVP_RSA_gen(1024));
  return key;
}

const TestKey& ecKey() {
  static const TestKey key = wrap(EVP_EC_gen("P-256"));
  return key;
}

std::string signSha256(const TestKey& key, std::string_view data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.key.get()) != 1 ||
      EVP_DigestSignUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1) {
    throw std::runtime_error("signing failed");
  }
  std::string signature(length, '\0');
  if (EVP_DigestSignFinal(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length) !=
      1) {
    throw std::runtime_error("signing failed");
  }
  signature.resize(length);
  return signature;
}

std::string base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

DnsRecord txtRecord(std::string data, std::string name) {
  return DnsRecord{std::move(name), std::move(data), 300, kDnsTypeTxt};
}

std::string keyRecordText(const TestKey& key) {
  return "v=DKIM1; k=rsa; p=" + key.pValue;
}

}  // namespace tollbrook::testkeys
