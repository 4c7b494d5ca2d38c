// Readers of tag=value lists (ARC-Message-Signature and ARC-Seal values, DNS key
// records): a strict validator and a lenient lookup. Stateless and thread-safe.
#ifndef TOLLBROOK_CORE_TAG_LIST_H_
#define TOLLBROOK_CORE_TAG_LIST_H_

#include <optional>
#include <string_view>

#include "base/error.h"

namespace tollbrook {

// Succeeds or names the first violation in text order: EmptyTagList,
// MissingEquals, InvalidTagName, DuplicateTagName or TooManyTags (over 128).
[[nodiscard]] Status validateTagList(std::string_view text);

// Receives each tag of a list as validateTagList meets it: the name, and the
// value trimmed as findTag trims it. In a list that validates, the tags
// visited are exactly those findTag finds, so a reader can check a list and
// take its tags in one walk. On a failure some tags may have been visited.
struct TagVisitor {
  void (*visit)(void* context, std::string_view name, std::string_view value) = nullptr;
  void* context = nullptr;
};
[[nodiscard]] Status validateTagList(std::string_view text, const TagVisitor& visitor);

// Value of the first tag named exactly `name`, trimmed; absent when there is
// none. A present empty value is an empty view, distinct from nullopt. The view
// points into `text`.
std::optional<std::string_view> findTag(std::string_view text, std::string_view name);

}  // namespace tollbrook

#endif  // TOLLBROOK_CORE_TAG_LIST_H_
