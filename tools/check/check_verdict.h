// The one line tollbrook-check prints: the verdict word, and with -v the
// instance and reason. Pure formatting; main thread.
#ifndef TOLLBROOK_TOOLS_CHECK_CHECK_VERDICT_H_
#define TOLLBROOK_TOOLS_CHECK_CHECK_VERDICT_H_

#include <string_view>

#include "arc/chain_result.h"
#include "base/error.h"

namespace tollbrook::tools {

// One output line, formatted in place; the -v detail goes through a 256-byte
// buffer and is replaced by " (detail unavailable)" when it does not fit.
class VerdictLine {
 public:
  // "none": the message carries no ARC chain.
  static VerdictLine none();
  // "fail", with -v " reason=" and the broken-chain text of a collection error.
  static VerdictLine brokenChain(Error error, bool verbose);
  // The word of a validation, with -v " i=" instance " reason=" reason ("-" if empty).
  static VerdictLine validated(const ChainResult& result, bool verbose);

  std::string_view text() const { return std::string_view(buffer_, length_); }

 private:
  static constexpr size_t kDetailSize = 256;

  void append(std::string_view text);
  void appendDetail(const char* detail, int length);

  char buffer_[32 + kDetailSize];
  size_t length_ = 0;
};

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_CHECK_CHECK_VERDICT_H_
