// Fuzz target: arbitrary bytes as a message, through everything that reads
// ARC fields before any key is fetched: parsing, set collection, the
// structural pass, the instance reader and the tag-list readers. Checks the
// promises of collectArcSets (order, completeness, views into the message).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "arc/arc_set.h"
#include "arc/arc_set_instance.h"
#include "core/message.h"
#include "core/number_syntax.h"
#include "core/tag_list.h"

namespace {

using namespace tollbrook;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool inside(const Message& message, std::string_view view) {
  const char* begin = message.buffer.data();
  return view.empty() ||
         (view.data() >= begin && view.data() + view.size() <= begin + message.buffer.size());
}

void checkSet(const Message& message, const ArcSet& set, size_t position) {
  check(set.instance == position + 1);
  check(!set.aarValue.empty() && !set.amsValue.empty() && !set.sealValue.empty());
  for (std::string_view text :
       {set.aarValue, set.amsValue, set.sealValue, set.amsA, set.amsD, set.amsS, set.amsB,
        set.amsBh, set.amsH, set.sealA, set.sealD, set.sealS, set.sealB}) {
    check(inside(message, text));
  }
  check(set.amsC == "relaxed/relaxed" || inside(message, set.amsC));
  check(set.sealCv == parseCv(findTag(set.sealValue, "cv").value_or("")));
  // Every tag a set keeps is the one findTag reads from its field.
  const auto same = [](std::string_view kept, std::string_view list, std::string_view name,
                       std::string_view absent) {
    const std::optional<std::string_view> found = findTag(list, name);
    return kept == found.value_or(absent) && (!found || kept.data() == found->data());
  };
  check(same(set.amsA, set.amsValue, "a", "") && same(set.amsD, set.amsValue, "d", "") &&
        same(set.amsS, set.amsValue, "s", "") && same(set.amsB, set.amsValue, "b", "") &&
        same(set.amsBh, set.amsValue, "bh", "") && same(set.amsH, set.amsValue, "h", "") &&
        same(set.amsC, set.amsValue, "c", "relaxed/relaxed"));
  check(same(set.sealA, set.sealValue, "a", "") && same(set.sealD, set.sealValue, "d", "") &&
        same(set.sealS, set.sealValue, "s", "") && same(set.sealB, set.sealValue, "b", ""));
}

// The instance reader tries the leading "i=N;" form (comments allowed, as an
// AAR may have them) before the tag list. In a valid tag list, as the AMS and
// the seal must be, both readings agree whenever i= holds a plain number.
void checkInstance(std::string_view value) {
  std::optional<uint8_t> instance = readArcInstance(value);
  if (!validateTagList(value)) return;
  std::optional<std::string_view> tag = findTag(value, "i");
  if (!tag || tag->empty() || tag->front() == '-') return;
  std::optional<uint64_t> number = parseUnsignedNumber(*tag, 255);
  if (!number) return;
  check(instance.has_value() && *instance == *number);
}

void readField(const HeaderField& field) {
  checkInstance(field.value);
  if (!arcHeaderKind(field.name)) return;
  (void)validateTagList(field.value);
  for (std::string_view tag : {"i", "cv", "a", "b", "bh", "c", "d", "s", "h"}) {
    if (std::optional<std::string_view> value = findTag(field.value, tag)) {
      check(value->empty() ||
            (value->data() >= field.value.data() &&
             value->data() + value->size() <= field.value.data() + field.value.size()));
      (void)parseCv(*value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  Result<Message> message = parseMessage(raw);
  if (!message) return 0;
  for (const HeaderField& field : message->headers) readField(field);
  Result<std::vector<ArcSet>> sets = collectArcSets(message->headers);
  if (!sets) {
    check(!brokenChainReason(sets.error()).empty());
    return 0;
  }
  check(sets->size() <= kMaxArcInstance);
  for (size_t p = 0; p < sets->size(); ++p) checkSet(*message, (*sets)[p], p);
  if (std::optional<ChainResult> broken = checkChainStructure(*sets)) {
    check(broken->cv == Cv::Fail && broken->failureClass == FailureClass::None);
    check(!broken->reason.empty());
  }
  return 0;
}
