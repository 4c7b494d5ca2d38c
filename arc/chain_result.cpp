#include "arc/chain_result.h"

#include "core/ascii.h"

namespace tollbrook {

std::string_view cvName(Cv cv) {
  switch (cv) {
    case Cv::none:
      return "none";
    case Cv::pass:
      return "pass";
    case Cv::fail:
      return "fail";
    case Cv::unknown:
      break;
  }
  return "unknown";
}

Cv parseCv(std::string_view text) {
  if (asciiEqualsIgnoreCase(text, "none")) return Cv::none;
  if (asciiEqualsIgnoreCase(text, "pass")) return Cv::pass;
  if (asciiEqualsIgnoreCase(text, "fail")) return Cv::fail;
  return Cv::unknown;
}

std::string_view failureClassName(FailureClass failureClass) {
  switch (failureClass) {
    case FailureClass::none:
      return "none";
    case FailureClass::dnsTransient:
      return "dnsTransient";
    case FailureClass::internal:
      return "internal";
    case FailureClass::deadline:
      break;
  }
  return "deadline";
}

}  // namespace tollbrook
