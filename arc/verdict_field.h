// The Authentication-Results field in which the daemon states its own ARC
// verdict (method "arc"), and the word that reports a validation, which the
// daemon writes there and the check tool prints. The returned value is owned
// by the caller; it is folded for the name kAuthResultsFieldName and has no
// trailing CR LF. Pure functions; any thread.
#ifndef TOLLBROOK_ARC_VERDICT_FIELD_H_
#define TOLLBROOK_ARC_VERDICT_FIELD_H_

#include <optional>
#include <string>
#include <string_view>

#include "arc/chain_result.h"
#include "base/error.h"
#include "crypto/arc_header_names.h"

namespace tollbrook {

// The result of a chain that could not be judged now.
inline constexpr std::string_view kTemperrorResult = "temperror";

// The word for a validation: the cv ("none", "pass", "fail" or "unknown") of
// a verdict, "temperror" for a key not obtainable now or a spent budget, and
// "internalerror" for resource exhaustion (which the daemon answers with a
// temporary failure instead of a word). Static storage.
std::string_view verdictWord(const ChainResult& result);

// "{authservId};" CR LF HT "arc={result}" and, with a reason, " ({reason})" with
// control bytes shown as '?' and '(', ')' and '\' escaped. `result` is one of
// "none", "pass", "fail", "temperror" (or "unknown"). Errors: OutOfMemory,
// BuildFailed.
[[nodiscard]] Result<std::string> formatVerdictField(std::string_view authservId,
                                                     std::string_view result,
                                                     std::optional<std::string_view> reason);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_VERDICT_FIELD_H_
