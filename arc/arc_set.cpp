#include "arc/arc_set.h"

#include <array>
#include <new>
#include <utility>

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

// The fixed working state of one collection: the field of each kind per
// possible instance, in header order of discovery. Nothing here grows with
// the input, and it stays small (pointers, not sets), since it is set up for
// every message that reaches the verifier.
struct SetTable {
  std::array<std::array<const HeaderField*, 3>, kMaxArcInstance> fields{};
  uint8_t highest = 0;
};

// Reads the tags a set keeps from one walk over a validated list. Each field
// takes the first tag of its name, as findTag would give it; an absent tag
// leaves the field as it was. Says which were found.
template <size_t N>
std::array<bool, N> takeTags(
    std::string_view list,
    const std::array<std::pair<std::string_view, std::string_view*>, N>& wanted) {
  std::array<bool, N> taken{};
  forEachTag(list, [&](std::string_view name, std::string_view value) {
    for (size_t k = 0; k < N; ++k) {
      if (!taken[k] && wanted[k].first == name) {
        *wanted[k].second = value;
        taken[k] = true;
        break;
      }
    }
    return true;
  });
  return taken;
}

void storeAms(ArcSet& set, const HeaderField& field) {
  set.amsValue = field.value;
  set.amsLeadingSpace = field.leadingSpace;
  takeTags<7>(field.value, {{{"a", &set.amsA},
                             {"d", &set.amsD},
                             {"s", &set.amsS},
                             {"b", &set.amsB},
                             {"bh", &set.amsBh},
                             {"c", &set.amsC},
                             {"h", &set.amsH}}});
}

void storeSeal(ArcSet& set, const HeaderField& field) {
  set.sealValue = field.value;
  std::string_view cv;
  const auto found = takeTags<5>(
      field.value,
      {{{"cv", &cv}, {"a", &set.sealA}, {"d", &set.sealD}, {"s", &set.sealS}, {"b", &set.sealB}}});
  if (found[0]) set.sealCv = parseCv(cv);
}

[[nodiscard]] Status addField(SetTable& table, ArcHeaderKind kind, const HeaderField& field) {
  std::optional<uint8_t> instance = readArcInstance(field.value);
  if (!instance || *instance == 0) return fail(Error::MalformedInstance);
  if (*instance > kMaxArcInstance) return fail(Error::ChainTooLong);
  const HeaderField*& slot = table.fields[*instance - 1u][static_cast<size_t>(kind)];
  if (slot != nullptr) return fail(Error::DuplicateHeader);
  if (kind != ArcHeaderKind::Aar && !validateTagList(field.value)) {
    return fail(Error::MalformedTagList);
  }
  slot = &field;
  if (*instance > table.highest) table.highest = *instance;
  return {};
}

[[nodiscard]] Result<std::vector<ArcSet>> orderedSets(const SetTable& table) {
  for (size_t slot = 0; slot < table.highest; ++slot) {
    const auto& fields = table.fields[slot];
    if (fields[0] == nullptr && fields[1] == nullptr && fields[2] == nullptr) {
      return fail(Error::ChainGap);
    }
    for (const HeaderField* field : fields) {
      if (field == nullptr || field->value.empty()) return fail(Error::IncompleteSet);
    }
  }
  std::vector<ArcSet> sets;
  try {
    sets.resize(table.highest);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  for (size_t slot = 0; slot < table.highest; ++slot) {
    ArcSet& set = sets[slot];
    const auto& fields = table.fields[slot];
    set.instance = static_cast<uint8_t>(slot + 1);
    set.aarValue = fields[static_cast<size_t>(ArcHeaderKind::Aar)]->value;
    storeAms(set, *fields[static_cast<size_t>(ArcHeaderKind::Ams)]);
    storeSeal(set, *fields[static_cast<size_t>(ArcHeaderKind::Seal)]);
  }
  return sets;
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
