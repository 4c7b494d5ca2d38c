// Compares parseMessage with dkimpy's RFC 822 reader on well-formed messages:
// the same fields (name, and the text after the colon) and the same body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/message.h"
#include "tests/outside_programs.h"
#include "tests/program_run.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using testing::hexText;

constexpr const char* kOracle = R"(
import sys, dkim
headers, body = dkim.rfc822_parse(open(sys.argv[1], 'rb').read())
for name, value in headers:
    print(name.hex(), value.hex())
print('body', body.hex())
)";

// dkimpy's reading of the message file at `path`, in the shape ours() gives.
std::string runOracle(const testing::ScratchDir& dir, const std::string& path) {
  std::string script = dir.write("oracle.py", kOracle);
  testing::ProgramRun run = testing::runProgram(
      {std::string(testing::programPath(testing::OutsideProgram::Python3)), script, path});
  return run.status == 0 ? run.out : "(oracle failed: " + run.err + ")";
}

// Our fields in dkimpy's shape: the value is everything after the colon plus CR LF.
std::string ours(const Message& message) {
  std::string out;
  for (const auto& field : message.headers) {
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on literal + string.
    std::string after(field.leadingSpace ? " " : "");
    after.append(field.value).append("\r\n");
    out += hexText(field.name) + " " + hexText(after) + "\n";
  }
  out += "body " + hexText(message.body) + "\n";
  return out;
}

TEST(ParseMessageOracle, AgreesWithDkimpyOnWellFormedMessages) {
  TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Python3);
  std::string manyFields;
  for (int i = 0; i < 60; ++i)
    manyFields += "X-F" + std::to_string(i) + ": v" + std::to_string(i) + "\n";
  const std::vector<std::string> messages = {
      "From: a@example.org\nTo: b@example.org\nSubject: hi\n\nbody line\n",
      "From: a@example.org\r\nSubject: folded\r\n  twice\r\n\tand tab\r\n\r\nx\r\n\r\n",
      "ARC-Seal: i=1; a=rsa-sha256; cv=none;\r\n\tb=QUJD\r\nX-Empty:\r\nX-One: \r\n"
      "X-NoSpace:v\r\nX-Two:  v\r\n\r\n",
      "Subject: \xc3\xa9t\xc3\xa9\n\n\xff\xfe binary body\n",
      "A: 1\nB: 2\n\n",
      manyFields + "\nbody\n",
  };
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.file("m.eml");
  for (const auto& raw : messages) {
    ASSERT_TRUE(testing::writeFile(path, raw));
    auto message = readMessageFile(path);
    ASSERT_TRUE(message) << errorName(message.error());
    EXPECT_EQ(ours(*message), runOracle(dir, path)) << "input \"" << raw.substr(0, 60) << "\"";
  }
}

}  // namespace
}  // namespace tollbrook
