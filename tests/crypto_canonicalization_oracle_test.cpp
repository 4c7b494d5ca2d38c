// Our canonical header and body forms and body hashes, compared byte for byte
// with dkimpy's over a table of messages and bodies and many random bodies.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/message.h"
#include "crypto/canonicalization.h"
#include "tests/outside_programs.h"
#include "tests/program_run.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using Mode = CanonicalizationMode;
using testing::show;

// The oracle's spelling: lower-case hex, "-" for no bytes.
std::string hex(std::string_view bytes) {
  return bytes.empty() ? "-" : testing::hexText(bytes);
}

std::string hex(const Sha256Digest& digest) {
  return hex(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// Sends every request to one dkimpy run and returns its answer lines.
std::vector<std::string> askOracle(const std::vector<std::string>& requests) {
  testing::ScratchDir dir;
  EXPECT_TRUE(dir.ok());
  std::string input;
  for (const std::string& request : requests) input += request + "\n";
  const std::string inputPath = dir.write("requests.txt", input);
  testing::ProgramOptions options;
  options.stdinPath = inputPath.c_str();
  const testing::ProgramRun run = testing::runTestScript("crypto_canon_oracle.py", {}, options);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  EXPECT_EQ(lines.size(), requests.size()) << run.err;
  return lines;
}

// Our four body fields in the oracle's order.
std::vector<std::string> ourBodyFields(std::string_view body) {
  std::vector<std::string> fields;
  for (Mode mode : {Mode::Simple, Mode::Relaxed}) {
    BodyCanonicalizer canon(mode);
    EXPECT_TRUE(canon.update(body));
    const std::string canonical = canon.finish().value_or("<error>");
    fields.push_back(hex(canonical));
    fields.push_back(hex(canonicalBodyHash(mode, body).value()));
  }
  return fields;
}

std::vector<std::string> ourMessageFields(std::string_view raw) {
  auto message = parseMessage(raw);
  EXPECT_TRUE(message);
  if (!message) return {};
  std::vector<std::string> fields = {std::to_string(message->headers.size())};
  for (const HeaderField& field : message->headers) {
    for (Mode mode : {Mode::Simple, Mode::Relaxed}) {
      std::string text;
      EXPECT_TRUE(appendCanonicalHeader(text, mode, field.name, field.leadingSpace, field.value));
      fields.push_back(hex(text));
    }
  }
  for (std::string& field : ourBodyFields(message->body)) fields.push_back(std::move(field));
  return fields;
}

const char* const kFieldNames[] = {"simple body", "simple hash", "relaxed body", "relaxed hash"};

void expectSameBodyFields(std::string_view input, const std::vector<std::string>& ours,
                          const std::vector<std::string>& theirs, size_t offset) {
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_LT(offset + i, theirs.size()) << "input " << show(input);
    EXPECT_EQ(ours[offset + i], theirs[offset + i])
        << "input " << show(input) << ": " << kFieldNames[i] << " differs from dkimpy";
  }
}

const std::string_view kMessages[] = {
    "From: a@example.org\r\nSubject: hello\r\n\r\nbody\r\n",
    // folds, runs of spaces and tabs in values, a value with nothing after ':'
    "Subject: one\r\n  two\r\n\tthree   \r\nTo:\t x \t y\r\nX-Empty:\r\nX-Sp: \r\n\r\nb\r\n",
    "subject:no-space\r\nSUBJECT:  two-spaces\r\nX-Tab:\ttab\r\n\r\n",
    // trailing blank lines, blank-only lines, spaces at line ends
    "From: x\r\n\r\nline  \r\n\t\r\n  \r\n\r\n\r\n",
    // empty body, and no body at all
    "From: x\r\n\r\n",
    "From: x\r\nTo: y\r\n",
    // missing final CR LF
    "From: x\r\n\r\nlast line without end",
    // 8-bit bytes in header values and the body
    "Subject: caf\xc3\xa9 \xff\xfe\r\n\r\n\xe2\x82\xac  \xa0 x\r\n",
    // leading whitespace on body lines, runs inside lines
    "From: x\r\n\r\n  indented\r\n\t\ttabbed  \t text\r\nsingle\r\n",
    // a continuation line that is only blanks
    "Subject: a\r\n \r\n b\r\n\r\n.\r\n",
};

const std::string_view kBodies[] = {
    "",
    "\r\n",
    "\r\n\r\n\r\n",
    "a",
    "a \t ",
    " \t \r\n",
    "a\rb\r\n",
    "a \r b \r\n",
    "a\r",
    "a \r",
    "\r",
    "\r\r\n\r",
    "a\r\n\r",
    "lone\nLF \n",
    "mixed\r\n\n\r\n",
    "x\xff\x80\t\xc3\xa9  \r\n\r\n",
    std::string_view("nul\0byte \0\r\n", 13),
};

TEST(CanonicalizationOracle, MessagesMatchDkimpy) {
  TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Python3);
  std::vector<std::string> requests;
  for (std::string_view message : kMessages) requests.push_back("message " + hex(message));
  const std::vector<std::string> answers = askOracle(requests);
  ASSERT_EQ(answers.size(), std::size(kMessages));
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::vector<std::string> theirs = words(answers[i]);
    const std::vector<std::string> ours = ourMessageFields(kMessages[i]);
    ASSERT_EQ(ours.size(), theirs.size()) << "input " << show(kMessages[i]);
    for (size_t f = 1; f + 4 < ours.size(); ++f) {
      EXPECT_EQ(ours[f], theirs[f])
          << "input " << show(kMessages[i]) << ": field " << (f - 1) / 2
          << (f % 2 ? " simple" : " relaxed") << " form differs from dkimpy";
    }
    expectSameBodyFields(kMessages[i], ours, theirs, ours.size() - 4);
  }
}

// Random bodies over an alphabet rich in the bytes the rules treat specially.
std::vector<std::string> randomBodies() {
  static constexpr std::string_view kAlphabet[] = {"a",    "bcdefghijk", " ",  "\t",   "\r", "\n",
                                                   "\r\n", "\r\n",       "  ", "\xff", "!",  ", "};
  std::mt19937 random(2024);
  std::vector<std::string> bodies;
  for (int i = 0; i < 1500; ++i) {
    std::string body;
    const size_t pieces = random() % 40;
    for (size_t p = 0; p < pieces; ++p) body += kAlphabet[random() % std::size(kAlphabet)];
    bodies.push_back(body);
  }
  return bodies;
}

// dkimpy drops blanks at line ends only before a CR LF, so it keeps them on a
// last line that has no line end; we drop them there as on every other line
// ("whitespace at the end of lines" is ignored, and a missing final CR LF is
// added). For such bodies dkimpy is asked about the body with its CR LF added,
// which both sides must treat exactly like the body without it.
std::string oracleBody(const std::string& body) {
  const bool blankAtEnd = !body.empty() && (body.back() == ' ' || body.back() == '\t');
  return blankAtEnd ? body + "\r\n" : body;
}

TEST(CanonicalizationOracle, BodiesMatchDkimpy) {
  TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Python3);
  std::vector<std::string> bodies(std::begin(kBodies), std::end(kBodies));
  for (std::string& body : randomBodies()) bodies.push_back(std::move(body));
  std::vector<std::string> requests;
  for (const std::string& body : bodies) requests.push_back("body " + hex(oracleBody(body)));
  const std::vector<std::string> answers = askOracle(requests);
  ASSERT_EQ(answers.size(), bodies.size());
  for (size_t i = 0; i < bodies.size(); ++i) {
    expectSameBodyFields(bodies[i], ourBodyFields(bodies[i]), words(answers[i]), 0);
  }
}

}  // namespace
}  // namespace tollbrook
