// Eight bytes at a time: the canonicalizers spend most of their time looking
// for the few bytes that change (blanks, CR, LF) in long runs that do not, so
// they test a whole word for "any byte below c" and only then look closer.
// Portable: plain 64-bit arithmetic, unaligned loads through memcpy.
#ifndef TOLLBROOK_CRYPTO_WORD_SCAN_H_
#define TOLLBROOK_CRYPTO_WORD_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tollbrook::word_scan {

constexpr uint64_t kLowBits = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline uint64_t load8(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The high bit of every byte of `word` equal to `c`, or below `c` (c <= 0x80).
// A borrow may also flag bytes beyond a true match in memory order on a
// little-endian machine (before it on a big-endian one), but a word with a
// true match is never missed: callers check the byte they land on.
inline uint64_t matchByte(uint64_t word, unsigned char c) {
  const uint64_t x = word ^ (kLowBits * c);
  return (x - kLowBits) & ~x & kHighBits;
}
inline uint64_t matchBelow(uint64_t word, unsigned char c) {
  return (word - kLowBits * c) & ~word & kHighBits;
}

// Offset in memory of the first flagged byte of a non-zero `flags`.
inline size_t firstFlaggedByte(uint64_t flags) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<size_t>(std::countr_zero(flags)) / 8;
  } else {
    return static_cast<size_t>(std::countl_zero(flags)) / 8;
  }
}

// The end of the run of bytes above SP that starts at `i`: the index of the
// first byte at or below SP (or `n`). May stop early at a byte above SP on a
// big-endian machine; callers treat that byte as the end of a run and go on.
inline size_t printableRunEnd(const char* data, size_t i, size_t n) {
  while (i + 8 <= n) {
    const uint64_t flags = matchBelow(load8(data + i), 0x21);
    if (flags != 0) return i + firstFlaggedByte(flags);
    i += 8;
  }
  while (i<n&& static_cast<unsigned char>(data[i])> 0x20) ++i;
  return i;
}

// Sixteen bytes as one vector (GCC and Clang vector extensions: SSE2 on
// x86-64, NEON on arm64, plain code elsewhere).
using Bytes16 = unsigned char __attribute__((vector_size(16)));

inline Bytes16 load16(const char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// True when some byte of p[0..16) may end a relaxed body run: a control byte
// other than SP, or a SP followed by a byte up to SP. Reads p[0..17).
inline bool mayEndRelaxedRun16(const char* p) {
  const Bytes16 here = load16(p);
  const Bytes16 next = load16(p + 1);
  const Bytes16 space = here == ' ';
  const auto ends = ((here < 0x21) & ~space) | (space & (next < 0x21));
  uint64_t halves[2];
  std::memcpy(halves, &ends, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

}  // namespace tollbrook::word_scan

#endif  // TOLLBROOK_CRYPTO_WORD_SCAN_H_
