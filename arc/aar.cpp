#include "arc/aar.h"

#include <charconv>
#include <new>

#include "arc/auth_results.h"
#include "base/ascii.h"
#include "core/folding_writer.h"
#include "core/log.h"
#include "crypto/arc_header_names.h"

namespace tollbrook {
namespace {

bool isLocalMethod(std::string_view method, std::span<const std::string_view> localMethods) {
  for (std::string_view local : localMethods) {
    if (asciiEqualsIgnoreCase(method, local)) return true;
  }
  return false;
}

enum class Vouch { SkipSilently, SkipWithWarning, Vouched };

Vouch classifyMethods(std::string_view value, std::span<const std::string_view> localMethods) {
  bool anyLocal = false;
  bool anyForeign = false;
  ResinfoScanner scanner(value);
  while (auto resinfo = scanner.next()) {
    (isLocalMethod(resinfo->method, localMethods) ? anyLocal : anyForeign) = true;
  }
  if (!anyLocal) return Vouch::SkipSilently;
  return anyForeign ? Vouch::SkipWithWarning : Vouch::Vouched;
}

// Everything after the first ';', trimmed of blanks, then ';', then blanks.
std::string_view resultsText(std::string_view value) {
  size_t semicolon = value.find(';');
  if (semicolon == std::string_view::npos) return {};
  std::string_view text = trimBoth(value.substr(semicolon + 1), isAnySpace);
  text = trimBoth(text, [](char c) { return c == ';'; });
  return trimBoth(text, isAnySpace);
}

void appendVouched(std::string& content, std::string_view authservId, std::string_view results) {
  if (content.empty()) content.append(authservId);
  content.append("; ");
  content.append(results);
}

}  // namespace

Result<std::vector<std::string_view>> parseLocalMethods(std::string_view list) {
  try {
    std::vector<std::string_view> methods;
    while (true) {
      size_t comma = list.find(',');
      std::string_view item =
          trimBoth(list.substr(0, comma), [](char c) { return c == ' ' || c == '\t'; });
      if (!item.empty()) methods.push_back(item);
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
    return methods;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

SealResult<std::string> buildAarContent(std::span<const HeaderField> headers,
                                        std::string_view authservId,
                                        std::span<const std::string_view> localMethods) {
  try {
    std::string content;
    for (const HeaderField& field : headers) {
      if (!headerNameEquals(field.name, kAuthResultsFieldName)) continue;
      if (!claimsAuthservId(field.value, authservId)) continue;
      Vouch vouch = classifyMethods(field.value, localMethods);
      if (vouch == Vouch::SkipWithWarning) {
        logMessage(Severity::Warning,
                   "ignoring Authentication-Results claiming our authserv-id with non-local "
                   "methods");
      }
      if (vouch != Vouch::Vouched) continue;
      std::string_view results = resultsText(field.value);
      if (!results.empty()) appendVouched(content, authservId, results);
    }
    if (content.empty()) {
      content.append(authservId);
      content.append("; none");
    }
    return content;
  } catch (const std::bad_alloc&) {
    return failStep(seal_step::kAarContent, Error::OutOfMemory);
  }
}

SealResult<std::string> formatAar(uint32_t instance, std::string_view content) {
  char digits[16];
  auto converted = std::to_chars(digits, digits + sizeof digits, instance);
  std::string_view number(digits, static_cast<size_t>(converted.ptr - digits));
  FoldingWriter writer(FoldingWriter::kAarColumn);
  Status status = writer.appendText("", "i=");
  if (status) status = writer.appendText("", number);
  if (status) status = writer.appendText("; ", content);
  if (!status) return failStep(seal_step::kAarHeader, status.error());
  return writer.take();
}

}  // namespace tollbrook
