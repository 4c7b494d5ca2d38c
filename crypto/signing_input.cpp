// Header texts, b= removal, and the two ARC signing inputs.
#include <new>

#include "base/ascii.h"
#include "crypto/arc_header_names.h"
#include "crypto/signing_input.h"

namespace tollbrook {
namespace {

constexpr std::string_view kCrLf = "\r\n";

[[nodiscard]] Result<std::string> joined(std::string_view a, std::string_view b,
                                         std::string_view c) {
  try {
    std::string text;
    text.reserve(a.size() + b.size() + c.size());
    text.append(a).append(b).append(c);
    return text;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

// Where the tag list of a signature header text begins: after the name's
// colon, unless a ';' or '=' comes first (then the text is a bare tag list).
size_t tagListStart(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return 0;
  const size_t tagByte = text.find_first_of(";=");
  return (tagByte == std::string_view::npos || colon < tagByte) ? colon + 1 : 0;
}

[[nodiscard]] Status appendLine(std::string& out, std::string_view name, std::string_view value) {
  if (auto status = appendCanonicalHeader(out, CanonicalizationMode::Relaxed, name, true, value);
      !status) {
    return status;
  }
  try {
    out.append(kCrLf);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

[[nodiscard]] Status appendSealedSet(std::string& out, const SealedSetText& set) {
  if (auto status = appendLine(out, kAarFieldName, set.aarValue); !status) return status;
  if (auto status = appendLine(out, kAmsFieldName, set.amsValue); !status) return status;
  return appendLine(out, kSealFieldName, set.sealValue);
}

}  // namespace

Result<std::string> headerFieldText(const HeaderField& field) {
  return joined(field.name, field.leadingSpace ? ": " : ":", field.value);
}

Result<std::string> arcHeaderText(std::string_view name, std::string_view value) {
  return joined(name, ": ", value);
}

Result<std::string> stripSignatureValue(std::string_view headerText) {
  size_t segment = tagListStart(headerText);
  while (segment <= headerText.size()) {
    const size_t semicolon = headerText.find(';', segment);
    const size_t end = semicolon == std::string_view::npos ? headerText.size() : semicolon;
    const std::string_view text = headerText.substr(segment, end - segment);
    const size_t equals = text.find('=');
    if (equals != std::string_view::npos &&
        trimBoth(text.substr(0, equals), isFoldingSpace) == "b") {
      return joined(headerText.substr(0, segment + equals + 1), headerText.substr(end), "");
    }
    segment = end + 1;
  }
  return joined(headerText, "", "");
}

Result<std::string> amsSigningInput(std::span<const HeaderField> headers,
                                    std::string_view signedHeaders, CanonicalizationMode headerMode,
                                    std::string_view amsHeaderText, AmsInputStage* failedStage) {
  AmsInputStage stage = AmsInputStage::SignedHeaders;
  auto failAt = [&](Error error) {
    if (failedStage != nullptr) *failedStage = stage;
    return fail(error);
  };
  auto selected = selectSignedHeaders(signedHeaders, headers);
  if (!selected) return failAt(selected.error());
  try {
    std::string input;
    size_t size = amsHeaderText.size();
    for (const HeaderField& field : *selected) size += field.name.size() + field.value.size() + 4;
    stage = AmsInputStage::Assemble;
    input.reserve(size);
    stage = AmsInputStage::SignedHeaders;
    for (const HeaderField& field : *selected) {
      if (auto status =
              appendCanonicalHeader(input, headerMode, field.name, field.leadingSpace, field.value);
          !status) {
        return failAt(status.error());
      }
      input.append(kCrLf);
    }
    stage = AmsInputStage::SignatureHeader;
    if (auto status = appendCanonicalHeaderText(input, headerMode, amsHeaderText); !status) {
      return failAt(status.error());
    }
    return input;
  } catch (const std::bad_alloc&) {
    return failAt(Error::OutOfMemory);
  }
}

Result<std::string> sealSigningInput(std::span<const SealedSetText> earlier,
                                     std::string_view aarValue, std::string_view amsValue,
                                     std::string_view sealHeaderText) {
  try {
    std::string input;
    size_t size = aarValue.size() + amsValue.size() + sealHeaderText.size() + 64;
    for (const SealedSetText& set : earlier) {
      size += set.aarValue.size() + set.amsValue.size() + set.sealValue.size() + 96;
    }
    input.reserve(size);
    for (const SealedSetText& set : earlier) {
      if (auto status = appendSealedSet(input, set); !status) return fail(status.error());
    }
    if (auto status = appendLine(input, kAarFieldName, aarValue); !status)
      return fail(status.error());
    if (auto status = appendLine(input, kAmsFieldName, amsValue); !status)
      return fail(status.error());
    if (auto status =
            appendCanonicalHeaderText(input, CanonicalizationMode::Relaxed, sealHeaderText);
        !status) {
      return fail(status.error());
    }
    return input;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Status SealInputChain::reserve(size_t totalValueBytes) {
  try {
    text_.reserve(totalValueBytes);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Result<std::string_view> SealInputChain::next(const SealedSetText& set,
                                              std::string_view sealHeaderText) {
  text_.resize(ownLinesEnd_);  // drops the last input's own seal line
  if (started_) {
    if (auto status = appendLine(text_, kSealFieldName, lastSealValue_); !status) {
      return fail(status.error());
    }
  }
  if (auto status = appendLine(text_, kAarFieldName, set.aarValue); !status) {
    return fail(status.error());
  }
  if (auto status = appendLine(text_, kAmsFieldName, set.amsValue); !status) {
    return fail(status.error());
  }
  ownLinesEnd_ = text_.size();
  lastSealValue_ = set.sealValue;
  started_ = true;
  if (auto status = appendCanonicalHeaderText(text_, CanonicalizationMode::Relaxed, sealHeaderText);
      !status) {
    return fail(status.error());
  }
  return std::string_view(text_);
}

}  // namespace tollbrook
