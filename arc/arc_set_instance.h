// Reads the instance number (the i= tag) of an ARC header value. The
// ARC-Authentication-Results value is not a tag list beyond its leading i=, so a
// strict leading form is tried first and a tag-list lookup second. Stateless.
#ifndef TOLLBROOK_ARC_ARC_SET_INSTANCE_H_
#define TOLLBROOK_ARC_ARC_SET_INSTANCE_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tollbrook {

// The instance number written in `value`, 0 to 255, or nullopt when there is
// none (no i=, not a number, or above 255). Range checks are the caller's.
std::optional<uint8_t> readArcInstance(std::string_view value);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_ARC_SET_INSTANCE_H_
