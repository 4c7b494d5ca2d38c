// The in-memory form of an RFC 5322 message that every program works on: the
// ordered header fields and the body bytes. A Message read from a file owns one
// buffer holding the whole normalised text; its fields and body are views into
// that buffer and live as long as the Message (moving a Message keeps them valid).
#ifndef TOLLBROOK_CORE_MESSAGE_H_
#define TOLLBROOK_CORE_MESSAGE_H_

#include <string_view>
#include <vector>

#include "base/error.h"

namespace tollbrook {

// One header field as received. The field is rebuilt byte for byte as
// name ":" (one SP if leadingSpace) value.
struct HeaderField {
  std::string_view name;      // bytes before the first ':', untrimmed, case as received
  std::string_view value;     // after the ':' minus at most one SP; folds kept; no CR LF
  bool leadingSpace = false;  // one SP after the colon was removed from value
};

struct Message {
  Message() = default;
  Message(Message&&) noexcept = default;
  Message& operator=(Message&&) noexcept = default;
  Message(const Message&) = delete;  // views point into buffer
  Message& operator=(const Message&) = delete;

  std::vector<char> buffer;          // normalised text (CR LF line ends)
  std::vector<HeaderField> headers;  // top to bottom; duplicates kept
  std::string_view body;             // after the empty line; may be empty
};

// ASCII case-insensitive equality of header names; no trimming.
bool headerNameEquals(std::string_view a, std::string_view b);

// Normalises line endings to CR LF, splits header block and body, assembles the
// fields. Fails only with OutOfMemory.
[[nodiscard]] Result<Message> parseMessage(std::string_view raw);

// Reads and parses a message file (at most 8 MiB). Errors: NameTooLong, the
// platform's open/read kinds (FileNotFound, AccessDenied, IsDir, ...),
// FileTooBig, OutOfMemory.
[[nodiscard]] Result<Message> readMessageFile(std::string_view path);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_MESSAGE_H_
