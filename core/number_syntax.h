// The one number syntax of command lines and the configuration file: an
// optional leading '+', decimal digits with '_' allowed between digits, and a
// leading '-' only where the value is zero. Pure functions; any thread.
#ifndef TOLLBROOK_CORE_NUMBER_SYNTAX_H_
#define TOLLBROOK_CORE_NUMBER_SYNTAX_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace tollbrook {

// A value in 0..max; nullopt for bad syntax, a value over max, or "-" with a
// non-zero value ("-0" is 0).
std::optional<uint64_t> parseUnsignedNumber(std::string_view text, uint64_t max);

// The same syntax, but any leading '-' gives the negative value, so callers can
// say "must be 0 or positive" themselves. nullopt outside the int64_t range.
std::optional<int64_t> parseSignedNumber(std::string_view text);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_NUMBER_SYNTAX_H_
