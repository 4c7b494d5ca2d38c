// Readers of Authentication-Results values: does a field claim this host's
// authserv-id, and which resinfos (method=result pieces) does it carry. Used by
// the AAR builder and by the daemon's removal of forged fields. Stateless; the
// views returned point into the value passed in.
#ifndef TOLLBROOK_ARC_AUTH_RESULTS_H_
#define TOLLBROOK_ARC_AUTH_RESULTS_H_

#include <cstddef>
#include <optional>
#include <string_view>

namespace tollbrook {

// True when the value starts (after leading whitespace) with authservId,
// compared ASCII case-insensitively, followed by the end, SP, HTAB or ';'.
bool claimsAuthservId(std::string_view value, std::string_view authservId);

struct Resinfo {
  std::string_view method;  // trimmed text before the '='
  std::string_view result;  // the token after the '='
};

// Walks the resinfos of one Authentication-Results value in order. Pieces that
// are not method=result (such as "none") are passed over, never an error.
class ResinfoScanner {
 public:
  explicit ResinfoScanner(std::string_view value);
  std::optional<Resinfo> next();

 private:
  std::string_view rest_;  // the unscanned pieces after the authserv-id
  bool done_ = false;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_AUTH_RESULTS_H_
