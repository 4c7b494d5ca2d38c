// Skipping the comments, folding white space, quoted strings and words of
// header field values. Each function takes a position in `text` and returns the
// position just past what it skipped; none reads past the end, and an
// unterminated comment or quoted string runs to the end. Pure; any thread.
#ifndef TOLLBROOK_CORE_CFWS_H_
#define TOLLBROOK_CORE_CFWS_H_

#include <cstddef>
#include <string_view>

namespace tollbrook {

// The parenthesised comment opening at text[pos] == '('. Comments nest, and a
// backslash quotes the next byte.
size_t skipComment(std::string_view text, size_t pos);

// The quoted string opening at text[pos] == '"'; a backslash quotes the next byte.
size_t skipQuotedString(std::string_view text, size_t pos);

// A word: bytes up to SP, HTAB, CR, LF or '(', a quoted string taken whole.
size_t skipWord(std::string_view text, size_t pos);

// SP, HTAB, CR, LF and comments, in any number and order.
size_t skipSpaceAndComments(std::string_view text, size_t pos);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_CFWS_H_
