// The value rules of the configuration file: numbers, byte sizes, the octal
// umask, booleans and comma lists. Lenient where the file format is lenient (a
// number that does not parse means the key's default, without a message).
// Pure functions; any thread. Lists are returned as views into the value.
#ifndef TOLLBROOK_DAEMON_CONFIG_CONFIG_VALUES_H_
#define TOLLBROOK_DAEMON_CONFIG_CONFIG_VALUES_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace tollbrook {

// An unsigned number of at most max, by the shared number syntax; the default
// when the value is absent, empty or does not parse (letters, a negative
// number, more than max).
uint64_t unsignedOrDefault(std::optional<std::string_view> value, uint64_t max, uint64_t fallback);

// A byte size: "10485760", "10M", "10 MB", "10mb", "5b" (suffixes k, m, g in
// powers of 1024, an optional b). The default for anything else, including a
// product over 64 bits.
uint64_t byteSizeOrDefault(std::optional<std::string_view> value, uint64_t fallback);

// "yes"/"true"/"1" and "no"/"false"/"0", any case; the default otherwise.
bool booleanOrDefault(std::optional<std::string_view> value, bool fallback);

// The umask: an octal number by the shared syntax (radix 8), at most 0177777.
// Empty, non-octal or larger values fail with InvalidMode.
[[nodiscard]] Result<uint16_t> parseUmask(std::string_view value);

// Seconds to milliseconds for DnsTimeout. A value whose milliseconds do not fit
// 32 bits saturates: wrapping would turn a long timeout into a tiny one.
uint32_t secondsToMilliseconds(uint32_t seconds);

// MaxEvaluationMs: a signed number; 0 means no deadline. A value that does not
// parse, and a negative one, mean the default: a misread setting must not
// silently lift the bound on how long one message may hold a worker.
int64_t evaluationMsOrDefault(std::optional<std::string_view> value, int64_t fallback);

// Items of a comma-separated list, trimmed of spaces and tabs, empty items
// dropped. Views into the value. May throw std::bad_alloc.
std::vector<std::string_view> splitList(std::string_view value);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_CONFIG_CONFIG_VALUES_H_
