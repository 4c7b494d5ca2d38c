// PrivateKey ownership and the checked PEM loader.
#include "crypto/private_key.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "base/terminated_path.h"
#include "platform/errno_map.h"

namespace tollbrook {
namespace {

constexpr size_t kPathLimit = 4096;  // PathTooLong from here on; NameTooLong above 1023

// Without this callback OpenSSL would prompt on the controlling terminal for an
// encrypted key; refusing makes such a key KeyParseFailed.
int refusePassphrase(char*, int, int, void*) {
  return -1;
}

[[nodiscard]] Status checkKeyFileMode(const char* path) {
  Result<uint32_t> mode = keyFileMode(path);
  if (!mode) return fail(mode.error());
  if (keyModeTooOpen(*mode)) return fail(Error::KeyFilePermissionsTooOpen);
  return {};
}

[[nodiscard]] Status checkSigningKey(const EVP_PKEY* key) {
  const unsigned bits = rsaKeyBits(key);
  if (bits == 0) return fail(Error::NotRsaKey);
  if (bits < kMinimumSigningKeyBits) return fail(Error::RsaKeyTooSmall);
  return {};
}

[[nodiscard]] Result<PrivateKey> loadFromPath(const char* path) {
  if (auto status = checkKeyFileMode(path); !status) return fail(status.error());
  auto key = readPemPrivateKey(path);
  if (!key) return fail(key.error());
  if (auto status = checkSigningKey(key->get()); !status) return fail(status.error());
  return PrivateKey(std::move(*key));
}

}  // namespace

PrivateKey::PrivateKey(PrivateKey&& other) noexcept
    : pkey_(std::move(other.pkey_)),
      secret_(other.secret_),
      secretLength_(other.secretLength_),
      secretFilled_(other.secretFilled_) {
  other.wipeSecret();
}

PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
  if (this != &other) {
    release();
    pkey_ = std::move(other.pkey_);
    secret_ = other.secret_;
    secretLength_ = other.secretLength_;
    secretFilled_ = other.secretFilled_;
    other.wipeSecret();
  }
  return *this;
}

// The one place secret bytes outside OpenSSL are destroyed.
void PrivateKey::wipeSecret() {
  OPENSSL_cleanse(secret_.data(), secret_.size());
  secretLength_ = 0;
  secretFilled_ = false;
}

Status PrivateKey::setSecret(std::span<const unsigned char> bytes) {
  if (bytes.size() > kSecretSize) return fail(Error::InvalidArgument);
  wipeSecret();
  std::copy(bytes.begin(), bytes.end(), secret_.begin());
  secretLength_ = bytes.size();
  secretFilled_ = true;
  return {};
}

std::span<const unsigned char> PrivateKey::secret() const {
  if (!secretFilled_) return {};
  return std::span<const unsigned char>(secret_.data(), secretLength_);
}

void PrivateKey::release() {
  pkey_.reset();
  if (secretFilled_) wipeSecret();
}

void releasePrivateKey(PrivateKey& key) {
  key.release();
}

unsigned rsaKeyBits(const EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
  const int bits = EVP_PKEY_get_bits(key);
  return bits > 0 ? static_cast<unsigned>(bits) : 0;
}

unsigned rsaKeyBits(const PrivateKey& key) {
  return rsaKeyBits(key.pkey());
}

Result<EvpPkeyPtr> readPemPrivateKey(const char* path) {
  BioPtr bio(BIO_new_file(path, "r"));
  if (!bio) {
    ERR_clear_error();
    return fail(Error::FileOpenFailed);
  }
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr));
  if (!key) {
    ERR_clear_error();
    return fail(Error::KeyParseFailed);
  }
  return key;
}

Result<uint32_t> keyFileMode(const char* path) {
  struct stat status {};
  if (fstatat(AT_FDCWD, path, &status, 0) != 0) return fail(errorFromErrno(errno));
  return static_cast<uint32_t>(status.st_mode & 07777);
}

Result<PrivateKey> loadPrivateKey(std::string_view path) {
  if (path.size() >= kPathLimit) return fail(Error::PathTooLong);
  auto terminated = TerminatedPath<>::from(path);
  if (!terminated) return fail(terminated.error());
  auto key = loadFromPath(terminated->c_str());
  // Failed OpenSSL calls leave entries in this thread's error queue; they
  // belong to this load and must not surface in a later, unrelated check.
  if (!key) ERR_clear_error();
  return key;
}

}  // namespace tollbrook
