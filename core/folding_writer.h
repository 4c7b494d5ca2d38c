// Builds the value of a header field that Tollbrook writes itself, folding with
// CR LF HT so no line passes 78 columns unless one token is longer. The header
// name is written elsewhere but counted in the start column. One writer per
// value under construction; not thread-safe.
#ifndef TOLLBROOK_CORE_FOLDING_WRITER_H_
#define TOLLBROOK_CORE_FOLDING_WRITER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

class FoldingWriter {
 public:
  static constexpr size_t kWidth = 78;
  // Start columns: header name length plus ": ".
  static constexpr size_t kAarColumn = 28;
  static constexpr size_t kAmsColumn = 23;
  static constexpr size_t kSealColumn = 10;
  static constexpr size_t kAuthResultsColumn = 24;

  explicit FoldingWriter(size_t startColumn) : column_(startColumn) {}

  // The primitive: separator then item, folding before them when they do not fit.
  [[nodiscard]] Status appendItem(std::string_view separator, std::string_view item);
  // One name=value tag ("; " before all but the first). BuildFailed over 160 chars.
  [[nodiscard]] Status appendTag(std::string_view name, std::string_view value);
  // Free text re-broken at its own whitespace; comments and quoted strings kept whole.
  [[nodiscard]] Status appendText(std::string_view separator, std::string_view text);
  // A long unbreakable value (Base64 signature) filling every line to the width.
  [[nodiscard]] Status appendSignature(std::string_view text);
  // Writes raw bytes without folding logic and adds their length to the column.
  [[nodiscard]] Status appendRaw(std::string_view bytes);
  // Writes CR LF HT and resets the column to 1.
  [[nodiscard]] Status fold();

  size_t column() const { return column_; }
  const std::string& buffer() const { return buffer_; }
  // Hands the finished value to the caller; the writer is empty afterwards.
  std::string take() { return std::move(buffer_); }

 private:
  [[nodiscard]] Status appendTokens(std::string_view separator, std::string_view text);

  std::string buffer_;
  size_t column_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_FOLDING_WRITER_H_
