// The ARC-Authentication-Results (AAR) of a new set: which Authentication-Results
// fields this host vouches for, and the folded AAR value. Results are owned by
// the caller; the header views are only read. Runs on the sealing thread.
#ifndef TOLLBROOK_ARC_AAR_H_
#define TOLLBROOK_ARC_AAR_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arc/seal_step.h"
#include "base/error.h"
#include "core/message.h"

namespace tollbrook {

// Splits a comma-separated method list; items are trimmed of SP and HTAB and
// empty items dropped. The views point into `list`. Error: OutOfMemory.
[[nodiscard]] Result<std::vector<std::string_view>> parseLocalMethods(std::string_view list);

// The text after "i={instance}; ": the authserv-id, then "; " and the results of
// every vouched field in header order, or the authserv-id and "; none". A field
// is vouched for when it claims authservId and every one of its methods is in
// localMethods (ASCII case-insensitive); a field that mixes local and non-local
// methods is skipped with a warning.
[[nodiscard]] SealResult<std::string> buildAarContent(
    std::span<const HeaderField> headers, std::string_view authservId,
    std::span<const std::string_view> localMethods);

// The AAR value "i={instance}; {content}", folded for a start column of 28.
[[nodiscard]] SealResult<std::string> formatAar(uint32_t instance, std::string_view content);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_AAR_H_
