#include "arc/arc_set.h"

#include <array>
#include <new>
#include <optional>

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

// The fixed working state of one collection: a set per possible instance,
// made when its first field is met, and which of its fields were seen.
// Nothing here grows with the input, and setting it up writes only the
// flags, since it is set up for every message that reaches the verifier.
struct SetTable {
  std::array<std::optional<ArcSet>, kMaxArcInstance> sets;
  std::array<std::array<bool, 3>, kMaxArcInstance> seen{};
  uint8_t highest = 0;
};

// The tags one field keeps, taken while its list is validated. In a list
// that validates every name is unique, so each field gets the value findTag
// would give; an absent tag leaves the field as it was.
template <size_t N>
struct WantedTags {
  std::array<std::string_view, N> names;
  std::array<std::string_view*, N> fields;
  std::array<bool, N> found{};

  static void visit(void* context, std::string_view name, std::string_view value) {
    auto& wanted = *static_cast<WantedTags*>(context);
    for (size_t k = 0; k < N; ++k) {
      if (wanted.names[k] == name) {
        *wanted.fields[k] = value;
        wanted.found[k] = true;
        return;
      }
    }
  }
  [[nodiscard]] Status validateAndTake(std::string_view list) {
    return validateTagList(list, TagVisitor{&WantedTags::visit, this});
  }
};

[[nodiscard]] Status storeAms(ArcSet& set, const HeaderField& field) {
  WantedTags<7> wanted{
      {"a", "d", "s", "b", "bh", "c", "h"},
      {&set.amsA, &set.amsD, &set.amsS, &set.amsB, &set.amsBh, &set.amsC, &set.amsH}};
  if (!wanted.validateAndTake(field.value)) return fail(Error::MalformedTagList);
  set.amsValue = field.value;
  set.amsLeadingSpace = field.leadingSpace;
  return {};
}

[[nodiscard]] Status storeSeal(ArcSet& set, const HeaderField& field) {
  std::string_view cv;
  WantedTags<5> wanted{{"cv", "a", "d", "s", "b"},
                       {&cv, &set.sealA, &set.sealD, &set.sealS, &set.sealB}};
  if (!wanted.validateAndTake(field.value)) return fail(Error::MalformedTagList);
  set.sealValue = field.value;
  if (wanted.found[0]) set.sealCv = parseCv(cv);
  return {};
}

[[nodiscard]] Status addField(SetTable& table, ArcHeaderKind kind, const HeaderField& field) {
  std::optional<uint8_t> instance = readArcInstance(field.value);
  if (!instance || *instance == 0) return fail(Error::MalformedInstance);
  if (*instance > kMaxArcInstance) return fail(Error::ChainTooLong);
  const size_t slot = *instance - 1u;
  bool& seen = table.seen[slot][static_cast<size_t>(kind)];
  if (seen) return fail(Error::DuplicateHeader);
  seen = true;
  std::optional<ArcSet>& set = table.sets[slot];
  if (!set) {
    set.emplace();
    set->instance = *instance;
  }
  if (*instance > table.highest) table.highest = *instance;
  switch (kind) {
    case ArcHeaderKind::Aar:
      set->aarValue = field.value;
      return {};
    case ArcHeaderKind::Ams:
      return storeAms(*set, field);
    case ArcHeaderKind::Seal:
      return storeSeal(*set, field);
  }
  return {};
}

[[nodiscard]] Result<std::vector<ArcSet>> orderedSets(const SetTable& table) {
  for (size_t slot = 0; slot < table.highest; ++slot) {
    if (!table.sets[slot]) return fail(Error::ChainGap);
    const ArcSet& set = *table.sets[slot];
    if (set.aarValue.empty() || set.amsValue.empty() || set.sealValue.empty()) {
      return fail(Error::IncompleteSet);
    }
  }
  try {
    std::vector<ArcSet> sets;
    sets.reserve(table.highest);
    for (size_t slot = 0; slot < table.highest; ++slot) sets.push_back(*table.sets[slot]);
    return sets;
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
