// The names of the header fields ARC reads and writes, spelled once. They live
// in crypto/ because the ARC-Seal signing input, the lowest code that writes
// them, is here; arc/ and the tools take them from this header. Constants of
// static storage; any thread.
#ifndef TOLLBROOK_CRYPTO_ARC_HEADER_NAMES_H_
#define TOLLBROOK_CRYPTO_ARC_HEADER_NAMES_H_

#include <string_view>

namespace tollbrook {

inline constexpr std::string_view kAarFieldName = "ARC-Authentication-Results";
inline constexpr std::string_view kAmsFieldName = "ARC-Message-Signature";
inline constexpr std::string_view kSealFieldName = "ARC-Seal";

// The field in which a host states its authentication results: the sealer
// vouches for this host's own, and the daemon writes its ARC verdict in one.
inline constexpr std::string_view kAuthResultsFieldName = "Authentication-Results";

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_ARC_HEADER_NAMES_H_
