// The public half of the key test tool's local private key, as the text a DNS
// key record's p= would hold: Base64 of the DER SubjectPublicKeyInfo for RSA
// keys, Base64 of the 32-byte public key for Ed25519 seeds. Single-threaded.
#ifndef TOLLBROOK_TOOLS_TESTKEY_LOCAL_KEY_H_
#define TOLLBROOK_TOOLS_TESTKEY_LOCAL_KEY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "crypto/private_key.h"

namespace tollbrook {

// What the RSA path learned about the key file besides its public text; the
// tool words the warnings.
struct RsaKeyReport {
  std::string publicText;
  unsigned bits = 0;                 // 0 for a key that is not RSA
  std::optional<uint32_t> openMode;  // permission bits, when group/other has any
};

// Reads any PEM private key (no passphrase is ever asked for), then looks at
// the file's mode (following symbolic links); never refuses a key for its mode
// or size. Errors: PathTooLong, FileOpenFailed, KeyParseFailed, OutOfMemory,
// BuildFailed (the DER encoding failed).
[[nodiscard]] Result<RsaKeyReport> rsaPublicKeyText(std::string_view path);

// Reads a PEM-armoured raw 32-byte Ed25519 seed and derives its key pair, which
// is kept in `holder`'s secret area (seed, then public key) and wiped when the
// holder is released. Errors: NameTooLong, FileTooBig (over 4096 bytes), the
// file's open and read error kinds, InvalidPem, the Base64 kinds,
// InvalidSeedLength, IdentityElement, KeyParseFailed (derivation failed),
// OutOfMemory.
[[nodiscard]] Result<std::string> ed25519PublicKeyText(std::string_view path, PrivateKey& holder);

}  // namespace tollbrook

#endif  // TOLLBROOK_TOOLS_TESTKEY_LOCAL_KEY_H_
