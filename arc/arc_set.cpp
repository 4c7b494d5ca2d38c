#include "arc/arc_set.h"

#include <array>
#include <new>

#include "arc/arc_set_instance.h"
#include "core/tag_list.h"
#include "crypto/arc_header_names.h"

namespace tollbrook {

std::optional<ArcHeaderKind> arcHeaderKind(std::string_view name) {
  if (headerNameEquals(name, kAarFieldName)) return ArcHeaderKind::Aar;
  if (headerNameEquals(name, kAmsFieldName)) return ArcHeaderKind::Ams;
  if (headerNameEquals(name, kSealFieldName)) return ArcHeaderKind::Seal;
  return std::nullopt;
}

namespace {

// The fixed working state of one collection: a slot per possible instance and a
// seen flag per instance and kind. Nothing here grows with the input.
struct SetTable {
  std::array<ArcSet, kMaxArcInstance> slots{};
  std::array<bool, kMaxArcInstance> used{};
  std::array<std::array<bool, 3>, kMaxArcInstance> seen{};
  uint8_t highest = 0;
};

// Stores a tag's value when present; an absent tag leaves the field as it was.
void takeTag(std::string_view value, std::string_view name, std::string_view& field) {
  if (std::optional<std::string_view> found = findTag(value, name)) field = *found;
}

[[nodiscard]] Status storeAms(ArcSet& set, const HeaderField& field) {
  if (!validateTagList(field.value)) return fail(Error::MalformedTagList);
  set.amsValue = field.value;
  set.amsLeadingSpace = field.leadingSpace;
  takeTag(field.value, "a", set.amsA);
  takeTag(field.value, "d", set.amsD);
  takeTag(field.value, "s", set.amsS);
  takeTag(field.value, "b", set.amsB);
  takeTag(field.value, "bh", set.amsBh);
  takeTag(field.value, "c", set.amsC);
  takeTag(field.value, "h", set.amsH);
  return {};
}

[[nodiscard]] Status storeSeal(ArcSet& set, const HeaderField& field) {
  if (!validateTagList(field.value)) return fail(Error::MalformedTagList);
  set.sealValue = field.value;
  if (std::optional<std::string_view> cv = findTag(field.value, "cv")) set.sealCv = parseCv(*cv);
  takeTag(field.value, "a", set.sealA);
  takeTag(field.value, "d", set.sealD);
  takeTag(field.value, "s", set.sealS);
  takeTag(field.value, "b", set.sealB);
  return {};
}

[[nodiscard]] Status addField(SetTable& table, ArcHeaderKind kind, const HeaderField& field) {
  std::optional<uint8_t> instance = readArcInstance(field.value);
  if (!instance || *instance == 0) return fail(Error::MalformedInstance);
  if (*instance > kMaxArcInstance) return fail(Error::ChainTooLong);
  size_t slot = *instance - 1u;
  bool& seen = table.seen[slot][static_cast<size_t>(kind)];
  if (seen) return fail(Error::DuplicateHeader);
  seen = true;
  if (!table.used[slot]) {
    table.slots[slot] = ArcSet{};
    table.slots[slot].instance = *instance;
    table.used[slot] = true;
  }
  if (*instance > table.highest) table.highest = *instance;
  ArcSet& set = table.slots[slot];
  switch (kind) {
    case ArcHeaderKind::Aar:
      set.aarValue = field.value;
      return {};
    case ArcHeaderKind::Ams:
      return storeAms(set, field);
    case ArcHeaderKind::Seal:
      return storeSeal(set, field);
  }
  return {};
}

[[nodiscard]] Result<std::vector<ArcSet>> orderedSets(const SetTable& table) {
  for (size_t slot = 0; slot < table.highest; ++slot) {
    if (!table.used[slot]) return fail(Error::ChainGap);
    const ArcSet& set = table.slots[slot];
    if (set.aarValue.empty() || set.amsValue.empty() || set.sealValue.empty()) {
      return fail(Error::IncompleteSet);
    }
  }
  try {
    return std::vector<ArcSet>(table.slots.begin(), table.slots.begin() + table.highest);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace

Result<std::vector<ArcSet>> collectArcSets(std::span<const HeaderField> headers) {
  SetTable table;
  for (const HeaderField& field : headers) {
    std::optional<ArcHeaderKind> kind = arcHeaderKind(field.name);
    if (!kind) continue;
    if (Status added = addField(table, *kind, field); !added) return fail(added.error());
  }
  return orderedSets(table);
}

std::string_view brokenChainReason(Error error) {
  switch (error) {
    case Error::MalformedInstance:
      return "broken ARC chain: malformed i= tag";
    case Error::ChainTooLong:
      return "broken ARC chain: too many instances";
    case Error::DuplicateHeader:
      return "broken ARC chain: duplicate header in instance";
    case Error::MalformedTagList:
      return "broken ARC chain: malformed tag list";
    case Error::ChainGap:
      return "broken ARC chain: missing instance";
    case Error::IncompleteSet:
      return "broken ARC chain: incomplete instance";
    default:
      return "broken ARC chain";
  }
}

}  // namespace tollbrook
