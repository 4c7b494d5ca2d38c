// Fuzz target: arbitrary bytes as the text of a header tag or value. Drives
// the Base64 decoder (with a round-trip check), the tag-list readers, the
// folding writer, the number syntax and the log-safe text writer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/ascii.h"
#include "core/base64.h"
#include "core/folding_writer.h"
#include "core/log.h"
#include "core/number_syntax.h"
#include "core/tag_list.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// A successful decode is canonical: encoding it again gives the input less its blanks.
void checkBase64RoundTrip(std::string_view text) {
  auto decoded = tollbrook::base64Decode(text);
  if (!decoded) return;
  std::string compact;
  for (char c : text) {
    if (!tollbrook::isFoldingSpace(c)) compact += c;
  }
  auto encoded = tollbrook::base64Encode(*decoded);
  check(encoded && *encoded == compact);
}

// Folded output never holds a bare CR or LF, and every fold is CR LF HT.
void checkFolds(const std::string& value) {
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r') check(value.compare(i, 3, "\r\n\t") == 0);
  }
}

void foldText(std::string_view text) {
  tollbrook::FoldingWriter writer(tollbrook::FoldingWriter::kAuthResultsColumn);
  if (!writer.appendText("; ", text)) return;
  std::string value = writer.buffer();
  bool hasLineEnd = false;
  for (char c : text) hasLineEnd = hasLineEnd || c == '\r' || c == '\n';
  // Line ends inside comments or quoted strings are kept; the check holds only without them.
  if (!hasLineEnd) checkFolds(value);
  tollbrook::FoldingWriter signature(tollbrook::FoldingWriter::kSealColumn + text.size() % 80);
  if (signature.appendSignature(text) && !hasLineEnd) checkFolds(signature.buffer());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  checkBase64RoundTrip(text);
  // Every tag of a valid list can be found again by its name.
  if (tollbrook::validateTagList(text)) {
    std::string_view first = text.substr(0, text.find('='));
    while (!first.empty() && (tollbrook::isFoldingSpace(first.front()) || first.front() == ';')) {
      first.remove_prefix(1);
    }
    while (!first.empty() && tollbrook::isFoldingSpace(first.back())) first.remove_suffix(1);
    check(tollbrook::findTag(text, first).has_value());
  }
  (void)tollbrook::findTag(text, "h");
  foldText(text);
  if (auto n = tollbrook::parseUnsignedNumber(text, 1000)) check(*n <= 1000);
  (void)tollbrook::parseSignedNumber(text);
  char out[64];
  size_t written = tollbrook::logSafeText(text, out, sizeof(out));
  check(written <= sizeof(out));
  for (size_t i = 0; i < written; ++i) check(out[i] >= 0x21 && out[i] <= 0x7E);
  return 0;
}
