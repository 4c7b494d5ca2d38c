// The Authentication-Results field in which the daemon states its own ARC
// verdict (method "arc"). The returned value is owned by the caller; it is
// folded for the name "Authentication-Results" and has no trailing CR LF.
#ifndef TOLLBROOK_ARC_VERDICT_FIELD_H_
#define TOLLBROOK_ARC_VERDICT_FIELD_H_

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

inline constexpr std::string_view kVerdictFieldName = "Authentication-Results";

// "{authservId};" CR LF HT "arc={result}" and, with a reason, " ({reason})" with
// control bytes shown as '?' and '(', ')' and '\' escaped. `result` is one of
// "none", "pass", "fail", "temperror" (or "unknown"). Errors: OutOfMemory,
// BuildFailed.
[[nodiscard]] Result<std::string> formatVerdictField(std::string_view authservId,
                                                     std::string_view result,
                                                     std::optional<std::string_view> reason);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_VERDICT_FIELD_H_
