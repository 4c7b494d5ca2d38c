// Fuzz target for the reply decoder: any bytes a nameserver (or anyone able to
// reach the resolver's socket) sends go through parseResponse. Checks that the
// decoder never reads outside the reply and that what it returns respects the
// name limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "dns/response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  auto response = tollbrook::parseResponse(reply);
  if (response) {
    for (const tollbrook::DnsRecord& record : response->records) {
      if (record.name.size() > tollbrook::kMaxDecodedNameLength) std::abort();
      // Data is a part of the reply, or a decoded name within the name limit.
      if (record.data.size() > reply.size() &&
          record.data.size() > tollbrook::kMaxDecodedNameLength) {
        std::abort();
      }
    }
  }
  // Names at every offset, as compressed targets may point anywhere.
  for (size_t offset = 0; offset < size && offset < 64; ++offset) {
    auto name = tollbrook::readName(reply, offset);
    if (name && name->size() > tollbrook::kMaxDecodedNameLength) std::abort();
    (void)tollbrook::skipName(reply, offset);
  }
  return 0;
}
