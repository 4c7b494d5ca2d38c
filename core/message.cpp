#include "core/message.h"

#include <cstring>
#include <new>

#include "base/ascii.h"

namespace tollbrook {

namespace {

constexpr std::string_view kCrLf = "\r\n";

// Bytes that normalisation adds: one per CR without LF and one per LF without CR.
size_t countMissingLineEndBytes(std::string_view raw) {
  size_t missing = 0;
  const char* data = raw.data();
  size_t size = raw.size();
  for (const void* hit = std::memchr(data, '\n', size); hit != nullptr;) {
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - data);
    if (at == 0 || data[at - 1] != '\r') ++missing;
    hit = at + 1 < size ? std::memchr(data + at + 1, '\n', size - at - 1) : nullptr;
  }
  for (const void* hit = std::memchr(data, '\r', size); hit != nullptr;) {
    size_t at = static_cast<size_t>(static_cast<const char*>(hit) - data);
    if (at + 1 == size || data[at + 1] != '\n') ++missing;
    hit = at + 1 < size ? std::memchr(data + at + 1, '\r', size - at - 1) : nullptr;
  }
  return missing;
}

// Offset of the first `byte` in raw[from, to), or `to` when there is none.
size_t findByte(std::string_view raw, char byte, size_t from, size_t to) {
  const void* hit = std::memchr(raw.data() + from, byte, to - from);
  return hit == nullptr ? to : static_cast<size_t>(static_cast<const char*>(hit) - raw.data());
}

// Copies raw into buffer with every line ending as CR LF. Allocates once; runs
// between line ends are copied whole, and the position of the next LF is kept
// across lone CRs so a text full of CRs is still read once.
void normaliseLineEndings(std::string_view raw, std::vector<char>& buffer) {
  // An empty view may carry no storage at all, and memchr must not see null.
  if (raw.empty()) return;
  size_t missing = countMissingLineEndBytes(raw);
  if (missing == 0) {
    buffer.assign(raw.begin(), raw.end());
    return;
  }
  buffer.resize(raw.size() + missing);
  char* out = buffer.data();
  size_t size = raw.size();
  size_t nextLf = findByte(raw, '\n', 0, size);
  for (size_t at = 0; at < size;) {
    if (nextLf < at) nextLf = findByte(raw, '\n', at, size);
    size_t stop = findByte(raw, '\r', at, nextLf);
    std::memcpy(out, raw.data() + at, stop - at);
    out += stop - at;
    if (stop == size) break;
    *out++ = '\r';
    *out++ = '\n';
    bool crLf = raw[stop] == '\r' && stop + 1 < size && raw[stop + 1] == '\n';
    at = stop + (crLf ? 2 : 1);
  }
}

// Turns one raw field (its lines including their CR LF) into a HeaderField;
// fields without a colon, or with nothing but line ends, are dropped.
void appendParsedField(std::string_view raw, std::vector<HeaderField>& headers) {
  while (!raw.empty() && (raw.back() == '\r' || raw.back() == '\n')) raw.remove_suffix(1);
  if (raw.empty()) return;
  size_t colon = raw.find(':');
  if (colon == std::string_view::npos) return;
  HeaderField field;
  field.name = raw.substr(0, colon);
  std::string_view value = raw.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') {
    field.leadingSpace = true;
    value.remove_prefix(1);
  }
  field.value = value;
  headers.push_back(field);
}

// Cuts the header block into lines and gathers each field with its
// continuation lines. A continuation line with no field open is dropped.
void assembleFields(std::string_view block, std::vector<HeaderField>& headers) {
  constexpr size_t kNone = std::string_view::npos;
  size_t fieldStart = kNone;
  size_t lineStart = 0;
  for (;;) {
    size_t lineEnd = block.find(kCrLf, lineStart);
    std::string_view line = block.substr(lineStart, lineEnd == kNone ? kNone : lineEnd - lineStart);
    bool continuation = !line.empty() && (line.front() == ' ' || line.front() == '\t');
    if (!continuation) {
      if (fieldStart != kNone) {
        appendParsedField(block.substr(fieldStart, lineStart - fieldStart), headers);
      }
      fieldStart = line.empty() ? kNone : lineStart;
    }
    if (lineEnd == kNone) break;
    lineStart = lineEnd + kCrLf.size();
  }
  if (fieldStart != kNone) appendParsedField(block.substr(fieldStart), headers);
}

}  // namespace

bool headerNameEquals(std::string_view a, std::string_view b) {
  return asciiEqualsIgnoreCase(a, b);
}

Result<Message> parseMessage(std::string_view raw) {
  try {
    Message message;
    normaliseLineEndings(raw, message.buffer);
    std::string_view text(message.buffer.data(), message.buffer.size());
    std::string_view block = text;
    size_t split = text.find("\r\n\r\n");
    if (split != std::string_view::npos) {
      block = text.substr(0, split);
      message.body = text.substr(split + 4);
    }
    assembleFields(block, message.headers);
    return message;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
