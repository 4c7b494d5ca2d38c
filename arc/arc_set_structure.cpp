// The structural pass of chain validation, kept apart from collection because
// validation also guards against sets that did not come from collectArcSets.
#include <cstddef>

#include "arc/arc_set.h"

namespace tollbrook {
namespace {

bool isComplete(const ArcSet& set) {
  return !set.aarValue.empty() && !set.amsValue.empty() && !set.sealValue.empty();
}

uint8_t clampInstance(size_t n) {
  return n > 255 ? uint8_t{255} : static_cast<uint8_t>(n);
}

std::optional<ChainResult> checkSequenceAndCompleteness(std::span<const ArcSet> sets) {
  for (size_t p = 0; p < sets.size(); ++p) {
    if (sets[p].instance != p + 1)
      return chainFailure("instance gap in ARC chain", clampInstance(p));
    if (!isComplete(sets[p])) return chainFailure("incomplete ARC set", sets[p].instance);
  }
  return std::nullopt;
}

std::optional<ChainResult> checkSealCvs(std::span<const ArcSet> sets) {
  if (sets.empty()) return std::nullopt;
  if (sets[0].sealCv != Cv::None) return chainFailure("first ARC-Seal cv must be none", 1);
  for (const ArcSet& set : sets.subspan(1)) {
    if (set.sealCv != Cv::Pass)
      return chainFailure("ARC-Seal cv must be pass for i>1", set.instance);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ChainResult> checkChainStructure(std::span<const ArcSet> sets) {
  if (std::optional<ChainResult> broken = checkSequenceAndCompleteness(sets)) return broken;
  return checkSealCvs(sets);
}

}  // namespace tollbrook
