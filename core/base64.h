// RFC 4648 Base64 (standard alphabet, '=' padding) for signatures, body hashes
// and public keys. The decoder tolerates SP, HTAB, CR and LF anywhere and is
// strict about padding. Byte strings are carried in std::string.
#ifndef TOLLBROOK_CORE_BASE64_H_
#define TOLLBROOK_CORE_BASE64_H_

#include <string>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

// Exactly 4 * ceil(n / 3) characters, no line breaks. Error: OutOfMemory.
[[nodiscard]] Result<std::string> base64Encode(std::string_view bytes);

// Errors: InvalidPadding, InvalidCharacter, OutOfMemory.
[[nodiscard]] Result<std::string> base64Decode(std::string_view text);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_BASE64_H_
