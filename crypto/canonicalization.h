// Canonical forms of header fields and bodies for ARC signatures (the simple
// and relaxed algorithms of DKIM), and the SHA-256 body hash. The verifier and
// the sealer both go through these functions, so both sides of a signature see
// the same bytes. Everything here is pure computation: no state is shared, any
// thread may call it; results are new strings owned by the caller.
#ifndef TOLLBROOK_CRYPTO_CANONICALIZATION_H_
#define TOLLBROOK_CRYPTO_CANONICALIZATION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.h"

namespace tollbrook {

enum class CanonicalizationMode : uint8_t { Simple, Relaxed };

// "simple" or "relaxed". Static storage.
std::string_view canonicalizationName(CanonicalizationMode mode);

// The two modes named by a signature's c= value.
struct Canonicalization {
  CanonicalizationMode header = CanonicalizationMode::Simple;
  CanonicalizationMode body = CanonicalizationMode::Simple;
};

// Reads a c= value: "" is simple/simple, "x" is x/simple, "x/y" is x/y, where
// each component is exactly "simple" or "relaxed" (case-sensitive, untrimmed).
// Error: InvalidCanonicalization.
[[nodiscard]] Result<Canonicalization> parseCanonicalization(std::string_view text);

// Canonical form of one header text (name ':' value, no trailing CR LF), itself
// without CR LF. Simple returns the text unchanged; relaxed lower-cases the
// name, drops its trailing blanks, unfolds the value and squeezes its blank runs
// to one SP, trimmed at both ends. Errors: MalformedHeader (relaxed, no ':'),
// OutOfMemory.
[[nodiscard]] Result<std::string> canonicalizeHeader(CanonicalizationMode mode,
                                                     std::string_view headerText);

// Appends the canonical form of the header text made of `name`, ':', `gap` and
// `value` to `out`, without building that text first. `gap` is what separates
// the colon from the value ("", " "). The signing inputs use this to assemble
// everything in one buffer. On OutOfMemory `out` keeps its old length.
[[nodiscard]] Status appendCanonicalHeader(std::string& out, CanonicalizationMode mode,
                                           std::string_view name, std::string_view gap,
                                           std::string_view value);

// Canonicalizes a message body in chunks, so the daemon can feed body packets
// as they arrive; the result does not depend on where the chunks are cut.
// Trailing empty lines cost a counter, not memory. Not thread-safe: one
// canonicalizer per message. Holds the whole canonical body until finish().
class BodyCanonicalizer {
 public:
  explicit BodyCanonicalizer(CanonicalizationMode mode) : mode_(mode) {}

  // Feeds the next body bytes. Error: OutOfMemory (the canonicalizer is then
  // unusable and must be discarded).
  [[nodiscard]] Status update(std::string_view bytes);

  // Ends the body and returns the canonical body; the canonicalizer is spent
  // afterwards. Error: OutOfMemory.
  [[nodiscard]] Result<std::string> finish();

 private:
  friend class BodyHasher;

  void canonicalizeSimple(std::string_view bytes);
  void canonicalizeRelaxed(std::string_view bytes);
  void endRelaxedLine();
  void flushLineEnds();
  void appendToLine(std::string_view bytes);
  void finishState();
  bool outputEndsInLine() const;

  CanonicalizationMode mode_;
  std::string output_;       // canonical body so far (or since the last drain)
  std::string line_;         // relaxed: current line without its line end
  size_t pendingLines_ = 0;  // CR LF pairs held back until content follows
  bool pendingSpace_ = false;
  bool pendingCr_ = false;
  // Set once output has been drained into a hash: whether anything was drained
  // and whether it ended in CR LF, for the final-line-end rule of finish().
  bool drainedAny_ = false;
  bool drainedEndsCrLf_ = false;
};

// A SHA-256 digest: 32 bytes.
using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 of a canonical body. Error: OutOfMemory (the digest context could
// not be made).
[[nodiscard]] Result<Sha256Digest> bodyHash(std::string_view canonicalBody);

// Canonicalizes a body in chunks and hashes it on the way, without holding the
// whole canonical body: gives exactly bodyHash(BodyCanonicalizer(...).finish()).
// Not thread-safe: one hasher per message.
class BodyHasher {
 public:
  explicit BodyHasher(CanonicalizationMode mode);
  ~BodyHasher();
  BodyHasher(const BodyHasher&) = delete;
  BodyHasher& operator=(const BodyHasher&) = delete;

  // Errors: OutOfMemory (the hasher is then unusable).
  [[nodiscard]] Status update(std::string_view bytes);
  // Ends the body; the hasher is spent afterwards. Error: OutOfMemory.
  [[nodiscard]] Result<Sha256Digest> finish();

 private:
  struct Digest;
  [[nodiscard]] Status drain();

  BodyCanonicalizer canon_;
  std::unique_ptr<Digest> digest_;  // null when it could not be made
  bool failed_ = false;
};

// Canonicalizes `body` with `mode` and hashes it in one call. Error: OutOfMemory.
[[nodiscard]] Result<Sha256Digest> canonicalBodyHash(CanonicalizationMode mode,
                                                     std::string_view body);

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_CANONICALIZATION_H_
