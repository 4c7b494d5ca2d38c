#include "tools/testkey/local_key.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include "base/ascii.h"
#include "base/terminated_path.h"
#include "base/unique_fd.h"
#include "core/base64.h"
#include "platform/errno_map.h"

namespace tollbrook {
namespace {

// The key file is read by OpenSSL, which takes paths up to the Linux and
// FreeBSD ceiling of 4095 bytes; the mode is then looked at only for paths
// the other readers accept.
constexpr size_t kRsaPathLimit = 4095;
constexpr size_t kSeedFileLimit = 4096;
constexpr size_t kSeedSize = 32;

// A stack buffer for secret bytes, wiped when it goes out of scope.
template <size_t N>
struct WipedBuffer {
  std::array<char, N> bytes{};
  size_t length = 0;
  ~WipedBuffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  std::string_view view() const { return {bytes.data(), length}; }
};

// The permission bits when group or others have any, looked at only for paths
// the status query accepts.
std::optional<uint32_t> openPermissions(std::string_view path, const char* terminated) {
  if (path.size() > kMaxPathLength) return std::nullopt;
  Result<uint32_t> mode = keyFileMode(terminated);
  if (!mode || !keyModeTooOpen(*mode)) return std::nullopt;
  return *mode;
}

[[nodiscard]] Result<std::string> derPublicKeyText(EVP_PKEY* key) {
  int length = i2d_PUBKEY(key, nullptr);
  if (length < 1) return fail(Error::BuildFailed);
  std::string der;
  try {
    der.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_PUBKEY(key, &out) != length) return fail(Error::BuildFailed);
  return base64Encode(der);
}

[[nodiscard]] Status readSeedFile(const char* path, WipedBuffer<kSeedFileLimit + 1>& file) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errorFromErrno(errno));
  UniqueFd owner(fd);
  while (file.length < file.bytes.size()) {
    ssize_t got = ::read(fd, file.bytes.data() + file.length, file.bytes.size() - file.length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(errorFromErrno(errno));
    if (got == 0) break;
    file.length += static_cast<size_t>(got);
  }
  if (file.length > kSeedFileLimit) return fail(Error::FileTooBig);
  return {};
}

// The Base64 text between the end of the first armour line ("-----" LF) and the
// start of the closing one (LF "-----"), with SP, HTAB, CR and LF removed. The
// armour labels are not examined.
[[nodiscard]] Status extractArmouredText(std::string_view file,
                                         WipedBuffer<kSeedFileLimit + 1>& text) {
  size_t open = file.find("-----\n");
  if (open == std::string_view::npos) return fail(Error::InvalidPem);
  size_t start = open + 6;
  size_t close = file.find("\n-----", start);
  if (close == std::string_view::npos) return fail(Error::InvalidPem);
  for (char c : file.substr(start, close - start)) {
    if (!isFoldingSpace(c)) text.bytes[text.length++] = c;
  }
  return {};
}

// RFC 8032 derives the public key as the SHA-512 of the seed, clamped, times
// the base point. OpenSSL 3 performs exactly that when it is handed the raw
// seed, so its constant-time, reviewed field arithmetic is used rather than
// curve code of our own.
[[nodiscard]] Result<std::array<unsigned char, kSeedSize>> derivePublicKey(
    const std::array<unsigned char, kSeedSize>& seed) {
  EvpPkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key) return fail(Error::KeyParseFailed);
  std::array<unsigned char, kSeedSize> publicKey{};
  size_t length = publicKey.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 ||
      length != publicKey.size()) {
    return fail(Error::KeyParseFailed);
  }
  return publicKey;
}

// The encoding of the neutral point: y = 1, sign bit clear.
bool isIdentityElement(const std::array<unsigned char, kSeedSize>& publicKey) {
  if (publicKey[0] != 0x01) return false;
  for (size_t i = 1; i < publicKey.size(); ++i) {
    if (publicKey[i] != 0) return false;
  }
  return true;
}

// Decodes straight into the caller's array, which the caller wipes: returning
// the seed by value would leave an unwiped copy behind on the stack.
[[nodiscard]] Status decodeSeed(std::string_view text, std::array<unsigned char, kSeedSize>& seed) {
  auto decoded = base64Decode(text);
  if (!decoded) return fail(decoded.error());
  bool sized = decoded->size() == kSeedSize;
  if (sized) std::memcpy(seed.data(), decoded->data(), kSeedSize);
  OPENSSL_cleanse(decoded->data(), decoded->size());
  if (!sized) return fail(Error::InvalidSeedLength);
  return {};
}

}  // namespace

Result<RsaKeyReport> rsaPublicKeyText(std::string_view path) {
  auto terminated = TerminatedPath<kRsaPathLimit>::from(path);
  if (!terminated) {
    return fail(terminated.error() == Error::NameTooLong ? Error::PathTooLong : terminated.error());
  }
  auto key = readPemPrivateKey(terminated->c_str());
  if (!key) return fail(key.error());
  RsaKeyReport report;
  report.openMode = openPermissions(path, terminated->c_str());
  report.bits = rsaKeyBits(key->get());
  auto text = derPublicKeyText(key->get());
  if (!text) return fail(text.error());
  report.publicText = std::move(*text);
  return report;
}

Result<std::string> ed25519PublicKeyText(std::string_view path, PrivateKey& holder) {
  auto terminated = TerminatedPath<>::from(path);
  if (!terminated) return fail(terminated.error());
  WipedBuffer<kSeedFileLimit + 1> file;
  if (Status status = readSeedFile(terminated->c_str(), file); !status) {
    return fail(status.error());
  }
  WipedBuffer<kSeedFileLimit + 1> text;
  if (Status status = extractArmouredText(file.view(), text); !status) {
    return fail(status.error());
  }
  std::array<unsigned char, kSeedSize> seed{};
  if (Status status = decodeSeed(text.view(), seed); !status) {
    OPENSSL_cleanse(seed.data(), seed.size());
    return fail(status.error());
  }
  auto publicKey = derivePublicKey(seed);
  std::array<unsigned char, 2 * kSeedSize> pair{};
  if (publicKey) {
    std::memcpy(pair.data(), seed.data(), kSeedSize);
    std::memcpy(pair.data() + kSeedSize, publicKey->data(), kSeedSize);
  }
  OPENSSL_cleanse(seed.data(), seed.size());
  if (!publicKey) return fail(publicKey.error());
  if (isIdentityElement(*publicKey)) {
    OPENSSL_cleanse(pair.data(), pair.size());
    return fail(Error::IdentityElement);
  }
  Status kept = holder.setSecret(pair);
  OPENSSL_cleanse(pair.data(), pair.size());
  if (!kept) return fail(kept.error());
  return base64Encode(
      std::string_view(reinterpret_cast<const char*>(publicKey->data()), publicKey->size()));
}

}  // namespace tollbrook
