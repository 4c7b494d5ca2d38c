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
#include <string>
#include <string_view>

#include "base/error.h"
#include "crypto/openssl_owners.h"

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

// Appends the canonical form of the header text name ':' (one SP if
// spaceAfterColon) value to `out`, without building that text first, so the
// signing inputs assemble everything in one buffer. `name` must not contain
// ':'. No CR LF is appended. Error: OutOfMemory (`out` is then unchanged).
[[nodiscard]] Status appendCanonicalHeader(std::string& out, CanonicalizationMode mode,
                                           std::string_view name, bool spaceAfterColon,
                                           std::string_view value);

// Appends the canonical form of a whole header text (as canonicalizeHeader
// would return it) to `out`. Errors: MalformedHeader, OutOfMemory (`out` is
// then unchanged).
[[nodiscard]] Status appendCanonicalHeaderText(std::string& out, CanonicalizationMode mode,
                                               std::string_view headerText);

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
  void appendLineContent(std::string_view bytes);
  void endRelaxedLine();
  void flushLineEnds();
  void finishBody();

  CanonicalizationMode mode_;
  // Canonical body so far. A relaxed line is written straight into it once it
  // has content, so no separate line buffer exists. BodyHasher drains all but
  // the last two bytes now and then, which keep finish() able to see whether
  // the body ends in CR LF.
  std::string output_;
  size_t pendingLines_ = 0;      // CR LF pairs held back until content follows
  bool lineHasContent_ = false;  // relaxed: the current line wrote a byte
  bool pendingSpace_ = false;    // relaxed: a blank run not yet written
  bool pendingCr_ = false;       // a CR whose meaning depends on the next byte
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
  BodyHasher(const BodyHasher&) = delete;
  BodyHasher& operator=(const BodyHasher&) = delete;
  BodyHasher(BodyHasher&&) noexcept = default;
  BodyHasher& operator=(BodyHasher&&) noexcept = default;

  // Errors: OutOfMemory (the hasher is then unusable).
  [[nodiscard]] Status update(std::string_view bytes);
  // Ends the body; the hasher is spent afterwards. Error: OutOfMemory.
  [[nodiscard]] Result<Sha256Digest> finish();

 private:
  [[nodiscard]] Status drain();

  BodyCanonicalizer canon_;
  EvpMdCtxPtr context_;
  bool unusable_ = false;  // no context, a failed step, or finish() already ran
};

// Canonicalizes `body` with `mode` and hashes it in one call. Error: OutOfMemory.
[[nodiscard]] Result<Sha256Digest> canonicalBodyHash(CanonicalizationMode mode,
                                                     std::string_view body);

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_CANONICALIZATION_H_
