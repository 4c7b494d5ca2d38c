// The ARC sets of a message: its ARC header fields grouped by instance, plus the
// structural rules a chain must meet before any key is fetched. ArcSet texts are
// views into the header values passed in; they live as long as those headers
// (for a Message, as long as the Message). Stateless and thread-safe.
#ifndef TOLLBROOK_ARC_ARC_SET_H_
#define TOLLBROOK_ARC_ARC_SET_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "arc/chain_result.h"
#include "base/error.h"
#include "core/message.h"

namespace tollbrook {

inline constexpr uint8_t kMaxArcInstance = 50;

enum class ArcHeaderKind : uint8_t { Aar, Ams, Seal };

// The kind of a header field by its name (case-insensitive), or nullopt for a
// field that is not one of the three ARC fields.
std::optional<ArcHeaderKind> arcHeaderKind(std::string_view name);

// One instance of the chain. Tag texts are trimmed findTag values, empty when
// the tag is absent.
struct ArcSet {
  uint8_t instance = 0;  // 1 to 50
  std::string_view aarValue;
  std::string_view amsValue;
  std::string_view sealValue;
  std::string_view amsA, amsD, amsS;
  std::string_view amsB, amsBh;               // still Base64, folding whitespace kept
  std::string_view amsC = "relaxed/relaxed";  // empty when c= is present and empty
  std::string_view amsH;
  bool amsLeadingSpace = true;
  std::string_view sealA, sealD, sealS, sealB;
  Cv sealCv = Cv::Unknown;
};

// Groups the ARC header fields into sets ordered by instance (instance k at
// position k-1, no gaps; empty when the message has no ARC field). Errors, the
// first fault met: MalformedInstance, ChainTooLong, DuplicateHeader,
// MalformedTagList, ChainGap, IncompleteSet, OutOfMemory. The caller owns the
// returned list.
[[nodiscard]] Result<std::vector<ArcSet>> collectArcSets(std::span<const HeaderField> headers);

// The cv=fail reason for an error of collectArcSets, such as
// "broken ARC chain: missing instance". Static storage.
std::string_view brokenChainReason(Error error);

// The structural pass of validation: sets in sequence and complete, the first
// seal cv=none and every later one cv=pass. Returns the failing result (cv fail,
// failure class none), or nullopt when the structure is sound.
std::optional<ChainResult> checkChainStructure(std::span<const ArcSet> sets);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_ARC_SET_H_
