// Selection of the header fields an h= value names. The h= value comes from
// the message, so the work is kept O(n log n) in the number of names and
// fields: both sides are sorted by name and matched group by group, instead of
// counting earlier names and scanning the field list once per name.
#include <algorithm>
#include <new>

#include "base/ascii.h"
#include "crypto/signing_input.h"

namespace tollbrook {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

unsigned char lowerAscii(char c) {
  return static_cast<unsigned char>(asciiLower(c));
}

// Negative, zero or positive like memcmp, after ASCII lower-casing; zero
// exactly when headerNameEquals holds.
int compareNames(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const unsigned char x = lowerAscii(a[i]);
    const unsigned char y = lowerAscii(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::vector<std::string_view> splitSignedNames(std::string_view signedHeaders) {
  std::vector<std::string_view> names;
  SignedHeaderNames list(signedHeaders);
  while (std::optional<std::string_view> name = list.next()) names.push_back(*name);
  return names;
}

// Indices 0..count-1 sorted by name; equal names in ascending index order,
// or descending when `bottomFirst`. The tie is broken by index rather than
// by a stable sort, which would allocate a buffer on every signature check.
template <typename NameOf>
std::vector<size_t> sortedByName(size_t count, NameOf nameOf, bool bottomFirst) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const int byName = compareNames(nameOf(a), nameOf(b));
    if (byName != 0) return byName < 0;
    return bottomFirst ? a > b : a < b;
  });
  return order;
}

// For each name, the index of the field it selects, or kNone. Within a group
// of equal names, the k-th listed (h= order) takes the k-th field counted from
// the bottom.
std::vector<size_t> matchNamesToFields(const std::vector<std::string_view>& names,
                                       std::span<const HeaderField> headers) {
  const auto nameAt = [&](size_t i) { return names[i]; };
  const auto fieldAt = [&](size_t i) { return headers[i].name; };
  const std::vector<size_t> byName = sortedByName(names.size(), nameAt, false);
  const std::vector<size_t> byField = sortedByName(headers.size(), fieldAt, true);

  std::vector<size_t> selected(names.size(), kNone);
  size_t f = 0;
  for (size_t n = 0; n < byName.size();) {
    const std::string_view name = names[byName[n]];
    while (f < byField.size() && compareNames(fieldAt(byField[f]), name) < 0) ++f;
    size_t g = f;
    for (; n < byName.size() && compareNames(names[byName[n]], name) == 0; ++n) {
      if (g < byField.size() && compareNames(fieldAt(byField[g]), name) == 0) {
        selected[byName[n]] = byField[g++];
      }
    }
  }
  return selected;
}

}  // namespace

std::optional<std::string_view> SignedHeaderNames::next() {
  while (!done_) {
    const size_t colon = rest_.find(':');
    const std::string_view name = trimBoth(rest_.substr(0, colon), isBlank_);
    if (colon == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(colon + 1);
    }
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

Result<std::vector<HeaderField>> selectSignedHeaders(std::string_view signedHeaders,
                                                     std::span<const HeaderField> headers) {
  try {
    const std::vector<std::string_view> names = splitSignedNames(signedHeaders);
    const std::vector<size_t> selected = matchNamesToFields(names, headers);
    std::vector<HeaderField> fields;
    fields.reserve(names.size());
    for (size_t index : selected) {
      if (index != kNone) fields.push_back(headers[index]);
    }
    return fields;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
