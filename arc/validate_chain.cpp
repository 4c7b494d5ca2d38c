#include "arc/validate_chain.h"

#include <limits>
#include <new>

#include "arc/validate_steps.h"

namespace tollbrook {
namespace {

// The evaluation budget, looked at only between steps: a key fetch or a
// signature check under way is never cut short.
class Budget {
 public:
  explicit Budget(const ValidationOptions& options)
      : clock_(options.clock ? options.clock : Clock(monotonicMilliseconds)) {
    if (options.maxEvaluationMs <= 0) return;
    const int64_t now = clock_();
    limited_ = true;
    deadline_ = now > std::numeric_limits<int64_t>::max() - options.maxEvaluationMs
                    ? std::numeric_limits<int64_t>::max()
                    : now + options.maxEvaluationMs;
  }

  bool spent() const { return limited_ && clock_() >= deadline_; }

 private:
  Clock clock_;
  bool limited_ = false;
  int64_t deadline_ = 0;
};

ChainResult verifySeals(const ValidationRun& run, const Budget& budget,
                        std::span<const ArcSet> sets) {
  SealInputChain inputs;
  size_t valueBytes = 0;
  for (const ArcSet& set : sets) {
    valueBytes += set.aarValue.size() + set.amsValue.size() + set.sealValue.size() + 96;
  }
  if (auto status = inputs.reserve(valueBytes); !status) {
    return inputFailure(status.error(), kSealReasons, sets.front().instance);
  }
  for (const ArcSet& set : sets) {
    if (budget.spent()) {
      return chainTemporaryFailure("evaluation deadline exceeded during ARC-Seal checks",
                                   set.instance, FailureClass::Deadline);
    }
    if (auto bad = verifySeal(run, set, inputs)) return *bad;
  }
  return ChainResult{{}, Cv::Pass, run.newest, FailureClass::None};
}

}  // namespace

ChainResult validateChainWithLookup(const ValidationOptions& options, const TxtLookup& lookup,
                                    std::span<const ArcSet> sets,
                                    std::span<const HeaderField> headers, std::string_view body) {
  if (sets.empty()) return ChainResult{{}, Cv::None, 0, FailureClass::None};
  const Budget budget(options);
  if (std::optional<ChainResult> broken = checkChainStructure(sets)) return *broken;
  const ValidationRun run{options, lookup, sets.back().instance};
  if (budget.spent()) {
    return chainTemporaryFailure("evaluation deadline exceeded before the AMS check", run.newest,
                                 FailureClass::Deadline);
  }
  if (auto bad = verifyNewestAms(run, sets.back(), headers, body)) return *bad;
  return verifySeals(run, budget, sets);
}

ChainResult validateChain(const ValidationOptions& options, std::span<const ArcSet> sets,
                          std::span<const HeaderField> headers, std::string_view body) {
  Resolver& resolver = options.resolver;
  const TxtLookup lookup = [&resolver](std::string_view name) { return resolver.queryTxt(name); };
  return validateChainWithLookup(options, lookup, sets, headers, body);
}

}  // namespace tollbrook
