// The bytes that ARC signatures sign: header texts rebuilt from stored fields,
// the selection of fields named by h=, the removal of a b= value, and the
// signing inputs of an ARC-Message-Signature and of an ARC-Seal. Verifier and
// sealer build their inputs only here. Pure functions, callable from any
// thread; every returned string is new and owned by the caller; returned
// HeaderField records are copies whose views point where the input's did.
#ifndef TOLLBROOK_CRYPTO_SIGNING_INPUT_H_
#define TOLLBROOK_CRYPTO_SIGNING_INPUT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "core/message.h"
#include "crypto/canonicalization.h"

namespace tollbrook {

// The field as received: name ':' (one SP if leadingSpace) value.
// Error: OutOfMemory.
[[nodiscard]] Result<std::string> headerFieldText(const HeaderField& field);

// An ARC header written by name and value: name ": " value (always one SP).
// Error: OutOfMemory.
[[nodiscard]] Result<std::string> arcHeaderText(std::string_view name, std::string_view value);

// A copy of a signature header text in which the value of the first tag named
// exactly "b" is empty (bh= and other tags untouched; the blanks and folds
// after "b=" go with the value). The tag list starts after the first ':' when
// that ':' comes before any ';' or '=', else at the start. Without a b= tag the
// copy is unchanged. Error: OutOfMemory.
[[nodiscard]] Result<std::string> stripSignatureValue(std::string_view headerText);

// The names of a colon-separated h= list, one at a time: each piece between
// colons trimmed of the bytes `isBlank` accepts, empty pieces skipped. Header
// selection trims SP, HTAB, CR and LF (the default); the validator's check
// for a signed ARC-Seal also trims VT and FF. Views point into the list.
class SignedHeaderNames {
 public:
  using BlankTest = bool (*)(char);

  explicit SignedHeaderNames(std::string_view list, BlankTest isBlank = isFoldingSpace)
      : rest_(list), isBlank_(isBlank) {}

  // The next non-empty name, or nullopt after the last.
  std::optional<std::string_view> next();

 private:
  std::string_view rest_;
  BlankTest isBlank_;
  bool done_ = false;
};

// The fields an h= value names, in h= order: a name listed for the (k+1)-th
// time (names compared with headerNameEquals) selects its (k+1)-th occurrence
// counted from the bottom of `headers`; names with no such occurrence select
// nothing. Pieces are split at ':' and trimmed of SP, HTAB, CR, LF; empty
// pieces are skipped. Sorts both sides, so hostile h= lists cost n log n.
// Error: OutOfMemory.
[[nodiscard]] Result<std::vector<HeaderField>> selectSignedHeaders(
    std::string_view signedHeaders, std::span<const HeaderField> headers);

// The part of an AMS signing input being built when it failed, for the sealer,
// which names each of its steps.
enum class AmsInputStage : uint8_t {
  Assemble,         // sizing the buffer the input is assembled in
  SignedHeaders,    // selecting, rebuilding and canonicalizing the signed fields
  SignatureHeader,  // canonicalizing the signature header text
};

// What an ARC-Message-Signature signs: each selected field canonicalized with
// `headerMode` plus CR LF, then the canonical signature header text without
// CR LF. `amsHeaderText` is the whole "ARC-Message-Signature:..." text with an
// empty b= value (for verification: stripSignatureValue of the received one).
// On failure `failedStage`, when given, says which part failed.
// Errors: MalformedHeader (relaxed, amsHeaderText without ':'), OutOfMemory.
[[nodiscard]] Result<std::string> amsSigningInput(std::span<const HeaderField> headers,
                                                  std::string_view signedHeaders,
                                                  CanonicalizationMode headerMode,
                                                  std::string_view amsHeaderText,
                                                  AmsInputStage* failedStage = nullptr);

// The three header values of one earlier ARC set, as stored (no names).
struct SealedSetText {
  std::string_view aarValue;
  std::string_view amsValue;
  std::string_view sealValue;
};

// What the ARC-Seal of instance i = earlier.size() + 1 signs, always relaxed:
// for each earlier set in order the "ARC-Authentication-Results: ",
// "ARC-Message-Signature: " and "ARC-Seal: " texts, each plus CR LF; then set
// i's AAR and AMS texts plus CR LF; then `sealHeaderText` (the whole
// "ARC-Seal: ..." text of set i with an empty b= value) without CR LF. A new
// seal with cv=fail passes no earlier sets.
// Errors: MalformedHeader (sealHeaderText without ':'), OutOfMemory.
[[nodiscard]] Result<std::string> sealSigningInput(std::span<const SealedSetText> earlier,
                                                   std::string_view aarValue,
                                                   std::string_view amsValue,
                                                   std::string_view sealHeaderText);

// The ARC-Seal signing inputs of one chain, oldest set first, as one growing
// text: set k's input is set k-1's input with that seal's b= value restored,
// then set k's own lines, so every field of a chain is canonicalized once
// rather than once per later seal. Each input equals what sealSigningInput
// returns for the same set and earlier sets. One per validation, on one
// thread; after an error it is not used again.
class SealInputChain {
 public:
  // Room for `totalValueBytes` of header values, so the text never moves.
  // Error: OutOfMemory.
  [[nodiscard]] Status reserve(size_t totalValueBytes);

  // The input of the set after the last one given (the first set at the
  // start); `sealHeaderText` as for sealSigningInput. The view lasts until
  // the next call. Errors: as sealSigningInput.
  [[nodiscard]] Result<std::string_view> next(const SealedSetText& set,
                                              std::string_view sealHeaderText);

 private:
  std::string text_;
  size_t ownLinesEnd_ = 0;          // end of the last set's AAR and AMS lines
  std::string_view lastSealValue_;  // that set's seal, restored at the next call
  bool started_ = false;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_CRYPTO_SIGNING_INPUT_H_
