#include "dns/query.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/dns_wire_builder.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

using testing::WireBuilder;

std::string encoded(std::string_view name) {
  std::string out;
  auto status = encodeName(name, out);
  return status ? out : "error." + std::string(errorName(status.error()));
}

TEST(EncodeName, LabelsAndLimits) {
  const std::string label63(63, 'a');
  // 4 labels of 63 plus 3 dots = 255; trim to exactly 253 bytes.
  const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
  struct Case {
    std::string name;
    std::string want;
  };
  const Case cases[] = {
      {"example.com", WireBuilder().name("example.com").bytes()},
      {"example.com.", WireBuilder().name("example.com").bytes()},
      {".example.com", WireBuilder().name("example.com").bytes()},
      {"Sel._domainKey.Example", WireBuilder().name("Sel._domainKey.Example").bytes()},
      {"", std::string(1, '\0')},
      {".", std::string(1, '\0')},
      {"a..b", "error.EmptyLabel"},
      {"..", "error.EmptyLabel"},
      {"a.b..", "error.EmptyLabel"},
      {label63 + ".x", WireBuilder().name(label63 + ".x").bytes()},
      {label63 + "a.x", "error.LabelTooLong"},
      {name253, WireBuilder().name(name253).bytes()},
      {name253 + "b", "error.NameTooLong"},
      {name253 + ".", "error.NameTooLong"},  // the length limit applies before the dot goes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encoded(c.name), c.want) << "input " << c.name.substr(0, 40);
  }
}

TEST(BuildTxtQuery, HeaderQuestionAndOptRecord) {
  auto query = buildTxtQuery("sel._domainkey.example.org.", 0xbeef);
  ASSERT_TRUE(query) << errorName(query.error());
  const std::string want = WireBuilder()
                               .header(0xbeef, 0x0100, 1, 0, 0, 1)
                               .question("sel._domainkey.example.org", 16)
                               .u8(0)      // root owner of the OPT record
                               .u16(41)    // OPT
                               .u16(1232)  // offered UDP payload
                               .u32(0)     // extended rcode, version, flags
                               .u16(0)     // no options
                               .bytes();
  EXPECT_EQ(*query, want);
}

TEST(BuildTxtQuery, EncodingErrorsAndAllocationFailures) {
  EXPECT_EQ(buildTxtQuery("a..b", 1).error(), Error::EmptyLabel);
  ::tollbrook::testing::forEachAllocationFailure([] {
    auto query = buildTxtQuery("sel._domainkey.example.org", 7);
    if (!query) {
      EXPECT_EQ(query.error(), Error::OutOfMemory);
    }
  });
  // The encoder on its own reports a failed append, too: it never throws.
  ::tollbrook::testing::forEachAllocationFailure([] {
    std::string out;
    Status encoded = encodeName("sel._domainkey.example.org", out);
    if (!encoded) {
      EXPECT_EQ(encoded.error(), Error::OutOfMemory);
    }
  });
}

}  // namespace
}  // namespace tollbrook
