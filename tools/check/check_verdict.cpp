#include "tools/check/check_verdict.h"

#include <cstdio>
#include <cstring>

#include "arc/arc_set.h"
#include "arc/verdict_field.h"

namespace tollbrook::tools {

void VerdictLine::append(std::string_view text) {
  std::memcpy(buffer_ + length_, text.data(), text.size());
  length_ += text.size();
}

// The detail is kept whole or replaced: a cut reason would mislead.
void VerdictLine::appendDetail(const char* detail, int length) {
  if (length < 0 || static_cast<size_t>(length) >= kDetailSize) {
    append(" (detail unavailable)");
  } else {
    append(std::string_view(detail, static_cast<size_t>(length)));
  }
}

VerdictLine VerdictLine::none() {
  VerdictLine line;
  line.append("none\n");
  return line;
}

VerdictLine VerdictLine::brokenChain(Error error, bool verbose) {
  VerdictLine line;
  line.append("fail");
  if (verbose) {
    char detail[kDetailSize];
    std::string_view reason = brokenChainReason(error);
    line.appendDetail(detail, std::snprintf(detail, sizeof detail, " reason=%.*s",
                                            static_cast<int>(reason.size()), reason.data()));
  }
  line.append("\n");
  return line;
}

VerdictLine VerdictLine::validated(const ChainResult& result, bool verbose) {
  VerdictLine line;
  line.append(verdictWord(result));
  if (verbose) {
    char detail[kDetailSize];
    std::string_view reason = result.reason.empty() ? std::string_view("-") : result.reason;
    line.appendDetail(detail, std::snprintf(detail, sizeof detail, " i=%u reason=%.*s",
                                            static_cast<unsigned>(result.instance),
                                            static_cast<int>(reason.size()), reason.data()));
  }
  line.append("\n");
  return line;
}

}  // namespace tollbrook::tools
