// Fuzz target: arbitrary bytes as a message. Parses it, then runs the tag-list
// readers and the Base64 decoder over every field value, as the chain
// validator would. Checks the invariants that parsing promises.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base64.h"
#include "core/message.h"
#include "core/tag_list.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

bool inside(const tollbrook::Message& message, std::string_view view) {
  const char* begin = message.buffer.data();
  return view.empty() ||
         (view.data() >= begin && view.data() + view.size() <= begin + message.buffer.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  auto message = tollbrook::parseMessage(raw);
  if (!message) return 0;
  check(inside(*message, message->body));
  for (const auto& field : message->headers) {
    check(inside(*message, field.name) && inside(*message, field.value));
    check(field.name.find(':') == std::string_view::npos);
    check(field.value.empty() || (field.value.back() != '\r' && field.value.back() != '\n'));
    (void)tollbrook::validateTagList(field.value);
    auto b = tollbrook::findTag(field.value, "b");
    if (b) {
      check(b->empty() || (b->data() >= field.value.data() &&
                           b->data() + b->size() <= field.value.data() + field.value.size()));
      (void)tollbrook::base64Decode(*b);
    }
  }
  return 0;
}
