#include "base/error.h"

#include <array>

namespace tollbrook {

namespace {

constexpr std::array kErrorNames = {
#define TOLLBROOK_ERROR_NAME(name) std::string_view(#name),
    TOLLBROOK_ERRORS(TOLLBROOK_ERROR_NAME)
#undef TOLLBROOK_ERROR_NAME
};

}  // namespace

std::string_view errorName(Error error) {
  auto index = static_cast<size_t>(error);
  return index < kErrorNames.size() ? kErrorNames[index] : std::string_view("Unexpected");
}

}  // namespace tollbrook
