// The sealing side's RSA private key, loaded from a PEM file after checking the
// file's permissions, and RSA-SHA256 signing with it. A PrivateKey owns its
// OpenSSL key and a 96-byte secret area for key material kept outside OpenSSL
// (the key test tool's Ed25519 seed); both are released, the area wiped, when
// the owner goes away or releasePrivateKey is called. Loading happens on one
// thread; a loaded key may then be shared read-only: signing needs no lock.
#ifndef TOLLBROOK_CRYPTO_PRIVATE_KEY_H_
#define TOLLBROOK_CRYPTO_PRIVATE_KEY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "base/error.h"
#include "crypto/openssl_owners.h"

namespace tollbrook {

// Smallest RSA key this system signs with, in bits.
inline constexpr unsigned kMinimumSigningKeyBits = 1024;

class PrivateKey {
 public:
  static constexpr size_t kSecretSize = 96;

  PrivateKey() = default;
  explicit PrivateKey(EvpPkeyPtr pkey) : pkey_(std::move(pkey)) {}
  ~PrivateKey() { release(); }
  // Moving hands over the key and the secret; the source is left empty with
  // its secret area wiped.
  PrivateKey(PrivateKey&& other) noexcept;
  PrivateKey& operator=(PrivateKey&& other) noexcept;
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;

  // The OpenSSL key, owned by this object; null when empty.
  EVP_PKEY* pkey() const { return pkey_.get(); }
  bool empty() const { return pkey_ == nullptr && !secretFilled_; }

  // Copies up to kSecretSize bytes into the secret area (the rest is zeroed)
  // and marks it filled. Error: InvalidArgument when `bytes` is too long.
  [[nodiscard]] Status setSecret(std::span<const unsigned char> bytes);
  // The filled part of the secret area; empty when the area is not filled.
  // The view lives until the key is released, moved from or destroyed.
  std::span<const unsigned char> secret() const;
  bool hasSecret() const { return secretFilled_; }

  // Frees the OpenSSL key and wipes the secret area; idempotent.
  void release();

 private:
  void wipeSecret();

  EvpPkeyPtr pkey_;
  std::array<unsigned char, kSecretSize> secret_{};
  size_t secretLength_ = 0;
  bool secretFilled_ = false;
};

// Loads an RSA private key from a PEM file, checking in this order: path under
// 4096 bytes (PathTooLong), under 1024 bytes (NameTooLong), the file's status
// following symbolic links (its error kind, e.g. FileNotFound, AccessDenied),
// no group/other permission bits (KeyFilePermissionsTooOpen), the file opens
// (FileOpenFailed), holds an unencrypted PEM private key (KeyParseFailed; no
// passphrase is ever asked for), is RSA (NotRsaKey) of at least 1024 bits
// (RsaKeyTooSmall). The returned key's secret area is empty.
[[nodiscard]] Result<PrivateKey> loadPrivateKey(std::string_view path);

// Reads the first PEM private key of any type from a file, never asking for a
// passphrase: an encrypted key is KeyParseFailed rather than a prompt on the
// terminal, where a daemon or a scripted tool would hang. Errors:
// FileOpenFailed, KeyParseFailed; OpenSSL's error queue is left empty on
// failure. The caller owns the key.
[[nodiscard]] Result<EvpPkeyPtr> readPemPrivateKey(const char* path);

// The permission bits (mode & 07777) of a key file, following symbolic links
// so that the target's mode is what counts. Error: the status query's kind
// (FileNotFound, AccessDenied, ...).
[[nodiscard]] Result<uint32_t> keyFileMode(const char* path);

// True when group or others have any permission bit in `mode`.
constexpr bool keyModeTooOpen(uint32_t mode) {
  return (mode & 077) != 0;
}

// Explicit release: frees the OpenSSL key, wipes the secret area. Releasing an
// empty key does nothing.
void releasePrivateKey(PrivateKey& key);

// Bits of an RSA key; 0 for any other key type, a null key or a non-positive
// size. The EVP_PKEY overload serves public keys as well.
unsigned rsaKeyBits(const EVP_PKEY* key);
unsigned rsaKeyBits(const PrivateKey& key);

// RSA-SHA256 (PKCS #1 v1.5) signature of `data`, passed in one piece; as long
// as the key's modulus. Errors: CtxCreateFailed, SignInitFailed (also for an
// empty key), SignUpdateFailed, SignFinalFailed, OutOfMemory.
[[nodiscard]] Result<std::string> signRsaSha256(const PrivateKey& key, std::string_view data);

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_PRIVATE_KEY_H_
