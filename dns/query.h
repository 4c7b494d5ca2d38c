// Encoding of the one query the resolver sends: a TXT question with an EDNS
// OPT record offering a 1,232-byte UDP payload. The returned bytes are the
// caller's.
#ifndef TOLLBROOK_DNS_QUERY_H_
#define TOLLBROOK_DNS_QUERY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

inline constexpr size_t kMaxQueryNameLength = 253;
inline constexpr size_t kMaxLabelLength = 63;
inline constexpr size_t kMaxLabels = 127;
inline constexpr uint16_t kEdnsUdpPayload = 1232;

// Appends the wire form of a dotted name: one leading and one trailing dot are
// dropped, "" and "." are the root, labels are copied byte for byte. Fails with
// NameTooLong, EmptyLabel, LabelTooLong, TooManyLabels or OutOfMemory; out may
// then hold a partial name.
[[nodiscard]] Status encodeName(std::string_view name, std::string& out);

// Header (RD only, one question, one additional record), the question for
// TXT/IN, and the OPT record. Fails as encodeName does, or with OutOfMemory.
[[nodiscard]] Result<std::string> buildTxtQuery(std::string_view name, uint16_t identifier);

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_QUERY_H_
