#include "arc/chain_result.h"

#include "base/ascii.h"

namespace tollbrook {

std::string_view cvName(Cv cv) {
  switch (cv) {
    case Cv::None:
      return "none";
    case Cv::Pass:
      return "pass";
    case Cv::Fail:
      return "fail";
    case Cv::Unknown:
      break;
  }
  return "unknown";
}

Cv parseCv(std::string_view text) {
  if (asciiEqualsIgnoreCase(text, "none")) return Cv::None;
  if (asciiEqualsIgnoreCase(text, "pass")) return Cv::Pass;
  if (asciiEqualsIgnoreCase(text, "fail")) return Cv::Fail;
  return Cv::Unknown;
}

std::string_view failureClassName(FailureClass failureClass) {
  switch (failureClass) {
    case FailureClass::None:
      return "none";
    case FailureClass::DnsTransient:
      return "dnsTransient";
    case FailureClass::Internal:
      return "internal";
    case FailureClass::Deadline:
      break;
  }
  return "deadline";
}

}  // namespace tollbrook
