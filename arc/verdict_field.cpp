#include "arc/verdict_field.h"

#include <new>

#include "core/folding_writer.h"

namespace tollbrook {
namespace {

// The reason travels inside a comment, so it must neither end the comment early
// nor smuggle line breaks into the header.
void appendCommentText(std::string& out, std::string_view reason) {
  for (char c : reason) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out.push_back('?');
      continue;
    }
    if (c == '(' || c == ')' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
}

std::string composeResinfo(std::string_view result, std::optional<std::string_view> reason) {
  std::string resinfo = "arc=";
  resinfo.append(result);
  if (reason) {
    resinfo.append(" (");
    appendCommentText(resinfo, *reason);
    resinfo.push_back(')');
  }
  return resinfo;
}

}  // namespace

std::string_view verdictWord(const ChainResult& result) {
  switch (result.failureClass) {
    case FailureClass::None:
      return cvName(result.cv);
    case FailureClass::DnsTransient:
    case FailureClass::Deadline:
      return kTemperrorResult;
    case FailureClass::Internal:
      break;
  }
  return "internalerror";
}

Result<std::string> formatVerdictField(std::string_view authservId, std::string_view result,
                                       std::optional<std::string_view> reason) {
  try {
    FoldingWriter writer(FoldingWriter::kAuthResultsColumn);
    Status status = writer.appendItem("", authservId);
    if (status) status = writer.appendRaw(";");
    // The resinfo always starts on its own line.
    if (status) status = writer.fold();
    if (status) status = writer.appendText("", composeResinfo(result, reason));
    if (!status) return fail(status.error());
    return writer.take();
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
