#include "crypto/canonicalization.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/base64.h"
#include "testsupport/alloc_failure.h"
#include "testsupport/result_error.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using Mode = CanonicalizationMode;
using testing::errorOf;
using testing::show;

std::string canonicalBody(Mode mode, std::string_view body) {
  BodyCanonicalizer canon(mode);
  EXPECT_TRUE(canon.update(body));
  auto result = canon.finish();
  EXPECT_TRUE(result);
  return result.value_or("<error>");
}

std::string digestBase64(const Sha256Digest& digest) {
  auto text =
      base64Encode(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  return text.value_or("<error>");
}

TEST(ParseCanonicalization, ReadsEveryForm) {
  struct Case {
    std::string_view text;
    bool ok;
    Mode header, body;
  };
  const Case cases[] = {
      {"", true, Mode::Simple, Mode::Simple},
      {"simple", true, Mode::Simple, Mode::Simple},
      {"relaxed", true, Mode::Relaxed, Mode::Simple},
      {"relaxed/relaxed", true, Mode::Relaxed, Mode::Relaxed},
      {"simple/relaxed", true, Mode::Simple, Mode::Relaxed},
      {"Relaxed", false, {}, {}},
      {"relaxed/", false, {}, {}},
      {"/simple", false, {}, {}},
      {"relaxed/relaxed/simple", false, {}, {}},
      {" relaxed", false, {}, {}},
      {"relaxed/simple ", false, {}, {}},
      {"nowsp", false, {}, {}},
  };
  for (const Case& c : cases) {
    auto got = parseCanonicalization(c.text);
    if (!c.ok) {
      EXPECT_EQ(errorOf(got), Error::InvalidCanonicalization)
          << "input " << show(c.text) << ": want InvalidCanonicalization";
      continue;
    }
    ASSERT_TRUE(got) << "input " << show(c.text) << ": got " << errorName(got.error());
    EXPECT_EQ(got->header, c.header) << "input " << show(c.text) << ": header mode";
    EXPECT_EQ(got->body, c.body) << "input " << show(c.text) << ": body mode";
  }
}

TEST(CanonicalizeHeader, SimpleAndRelaxedForms) {
  struct Case {
    Mode mode;
    std::string_view text;
    std::string_view want;
  };
  const Case cases[] = {
      {Mode::Simple, "Subject :  a  b \r\n\tc ", "Subject :  a  b \r\n\tc "},
      {Mode::Simple, "no colon at all", "no colon at all"},
      {Mode::Relaxed, "SUBJECT: x", "subject:x"},
      {Mode::Relaxed, "subject : x", "subject:x"},
      {Mode::Relaxed, "Subject \t:x", "subject:x"},
      {Mode::Relaxed, "Subject: x\r\n y ", "subject:x y"},
      {Mode::Relaxed, "Subject:  a \t  b  ", "subject:a b"},
      {Mode::Relaxed, "Subject:\r\n\ta\n b", "subject:a b"},
      {Mode::Relaxed, "Subject:", "subject:"},
      {Mode::Relaxed, "Subject: \r\n ", "subject:"},
      // A line end that does not start a fold is an ordinary byte.
      {Mode::Relaxed, "Subject: a\r\nb", "subject:a\r\nb"},
      {Mode::Relaxed, "Subject: a \rb", "subject:a \rb"},
      {Mode::Relaxed, "Subject: a\r", "subject:a"},
      // Only the first colon ends the name; 8-bit bytes pass through.
      {Mode::Relaxed, "X-A:b:c", "x-a:b:c"},
      {Mode::Relaxed, "X-\xc3\x84: \xc3\xa4  \xff", "x-\xc3\x84:\xc3\xa4 \xff"},
      {Mode::Relaxed, ":value", ":value"},
  };
  for (const Case& c : cases) {
    auto got = canonicalizeHeader(c.mode, c.text);
    ASSERT_TRUE(got) << "input " << show(c.text) << ": got " << errorName(got.error());
    EXPECT_EQ(*got, c.want) << "input " << show(c.text) << " (" << canonicalizationName(c.mode)
                            << "): got " << show(*got) << ", want " << show(c.want);
  }
  EXPECT_EQ(errorOf(canonicalizeHeader(Mode::Relaxed, "no colon")), Error::MalformedHeader);
}

TEST(CanonicalizeHeader, FieldFormIgnoresSpaceAfterColonOnlyWhenRelaxed) {
  std::string out = "keep";
  ASSERT_TRUE(appendCanonicalHeader(out, Mode::Simple, "From", true, "a  b"));
  ASSERT_TRUE(appendCanonicalHeader(out, Mode::Simple, "From", false, "a"));
  ASSERT_TRUE(appendCanonicalHeader(out, Mode::Relaxed, "From ", true, " a  b "));
  EXPECT_EQ(out, "keepFrom: a  bFrom:afrom:a b");
}

struct BodyCase {
  std::string_view body;
  std::string_view simple;
  std::string_view relaxed;
};

const BodyCase kBodyCases[] = {
    {"", "\r\n", ""},
    {"\r\n\r\n\r\n", "\r\n", ""},
    {"a", "a\r\n", "a\r\n"},
    {"a\r\n", "a\r\n", "a\r\n"},
    {"a\r\n\r\n\r\n", "a\r\n", "a\r\n"},
    {"a \t \r\n", "a \t \r\n", "a\r\n"},
    // Blanks at the end of a last line without line end vanish like any others.
    {"a \t", "a \t\r\n", "a\r\n"},
    {"\t", "\t\r\n", ""},
    {"a  \t b\r\n", "a  \t b\r\n", "a b\r\n"},
    {"  a\r\n", "  a\r\n", " a\r\n"},
    {"a\r\n \t\r\n\r\nb\r\n", "a\r\n \t\r\n\r\nb\r\n", "a\r\n\r\n\r\nb\r\n"},
    {"a\r\n \t \r\n", "a\r\n \t \r\n", "a\r\n"},
    {" \t \r\n\r\n", " \t \r\n", ""},
    {"\r\n\r\na", "\r\n\r\na\r\n", "\r\n\r\na\r\n"},
    // Lone CR and LF are ordinary bytes.
    {"a\rb\r\n", "a\rb\r\n", "a\rb\r\n"},
    {"a \r b", "a \r b\r\n", "a \r b\r\n"},
    {"a\r", "a\r\r\n", "a\r\r\n"},
    {"a \r", "a \r\r\n", "a \r\r\n"},
    {"a\r\n\r", "a\r\n\r\r\n", "a\r\n\r\r\n"},
    {"a\r\r\n", "a\r\r\n", "a\r\r\n"},
    {"a \r\r\n", "a \r\r\n", "a \r\r\n"},
    {"\r", "\r\r\n", "\r\r\n"},
    {"a\nb\n", "a\nb\n\r\n", "a\nb\n\r\n"},
    {"a \n", "a \n\r\n", "a \n\r\n"},
    {"x\xff\x80 \xc3\xa9\r\n", "x\xff\x80 \xc3\xa9\r\n", "x\xff\x80 \xc3\xa9\r\n"},
    {std::string_view("a\0b\r\n", 5), std::string_view("a\0b\r\n", 5),
     std::string_view("a\0b\r\n", 5)},
};

TEST(BodyCanonicalizer, CanonicalFormsOfBothModes) {
  for (const BodyCase& c : kBodyCases) {
    const std::string simple = canonicalBody(Mode::Simple, c.body);
    const std::string relaxed = canonicalBody(Mode::Relaxed, c.body);
    EXPECT_EQ(simple, c.simple) << "input " << show(c.body) << " simple: got " << show(simple)
                                << ", want " << show(c.simple);
    EXPECT_EQ(relaxed, c.relaxed) << "input " << show(c.body) << " relaxed: got " << show(relaxed)
                                  << ", want " << show(c.relaxed);
  }
}

// Cutting the body anywhere, even into single bytes, must not change the
// canonical form or the hash: the daemon feeds bodies as packets arrive.
// Bodies long enough for the word-at-a-time scan, built from pieces the rules
// treat specially.
std::vector<std::string> randomBodies(size_t count, size_t maxPieces) {
  static constexpr std::string_view kPieces[] = {
      "abcdefghij", "x", " ", " ", "\t", "\r", "\n", "\r\n", "\r\n", "  ", "\xff", "!", ", "};
  std::mt19937 random(99);
  std::vector<std::string> bodies;
  for (size_t i = 0; i < count; ++i) {
    std::string body;
    const size_t pieces = random() % maxPieces;
    for (size_t p = 0; p < pieces; ++p) body += kPieces[random() % std::size(kPieces)];
    bodies.push_back(body);
  }
  return bodies;
}

TEST(BodyCanonicalizer, ResultDoesNotDependOnChunks) {
  std::vector<std::string> bodies = randomBodies(300, 40);
  for (const BodyCase& c : kBodyCases) bodies.emplace_back(c.body);
  bodies.emplace_back("line one  \r\n\r\n\t two\t\r\n\r\n \r\nthree \r \r\n\r\n\r\n");
  for (const std::string& body : bodies) {
    for (Mode mode : {Mode::Simple, Mode::Relaxed}) {
      const std::string whole = canonicalBody(mode, body);
      for (size_t cut = 0; cut <= body.size(); ++cut) {
        BodyCanonicalizer canon(mode);
        ASSERT_TRUE(canon.update(std::string_view(body).substr(0, cut)));
        ASSERT_TRUE(canon.update(""));
        ASSERT_TRUE(canon.update(std::string_view(body).substr(cut)));
        EXPECT_EQ(canon.finish().value_or("<error>"), whole)
            << "input " << show(body) << " cut at " << cut << " (" << canonicalizationName(mode)
            << ")";
      }
      BodyCanonicalizer bytewise(mode);
      BodyHasher hasher(mode);
      for (char c : body) {
        ASSERT_TRUE(bytewise.update(std::string_view(&c, 1)));
        ASSERT_TRUE(hasher.update(std::string_view(&c, 1)));
      }
      EXPECT_EQ(bytewise.finish().value_or("<error>"), whole) << "input " << show(body);
      EXPECT_EQ(hasher.finish().value(), bodyHash(whole).value()) << "input " << show(body);
    }
  }
}

// The hasher hashes its output in slices; a body much larger than a slice,
// with CR LF pairs and blank runs straddling every slice edge, must hash like
// the canonical body it stands for.
TEST(BodyHasher, LargeBodiesHashLikeTheirCanonicalForm) {
  std::string body;
  for (int i = 0; body.size() < 300 * 1024; ++i) {
    body += "word  \t word";
    body.append(static_cast<size_t>(i % 7), ' ');
    body += (i % 5 == 0) ? "\r\n\r\n" : "\r\n";
    if (i % 11 == 0) body += " \r";
  }
  body += "\r\n\r\n   \r\n";
  for (Mode mode : {Mode::Simple, Mode::Relaxed}) {
    const std::string canonical = canonicalBody(mode, body);
    const Sha256Digest want = bodyHash(canonical).value();
    EXPECT_EQ(canonicalBodyHash(mode, body).value(), want) << canonicalizationName(mode);
    for (size_t chunk : {size_t{1000}, size_t{65535}, size_t{65537}, size_t{200000}}) {
      BodyHasher hasher(mode);
      for (size_t at = 0; at < body.size(); at += chunk) {
        ASSERT_TRUE(hasher.update(std::string_view(body).substr(at, chunk)));
      }
      EXPECT_EQ(hasher.finish().value(), want)
          << canonicalizationName(mode) << " in chunks of " << chunk;
    }
  }
}

TEST(BodyHash, EmptyBodiesHaveTheWellKnownDigests) {
  EXPECT_EQ(digestBase64(canonicalBodyHash(Mode::Simple, "").value()),
            "frcCV1k9oG9oKj3dpUqdJg1PxRT2RSN/XKdLCPjaYaY=");
  EXPECT_EQ(digestBase64(canonicalBodyHash(Mode::Relaxed, "\r\n\r\n").value()),
            "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
  EXPECT_EQ(digestBase64(bodyHash("\r\n").value()), "frcCV1k9oG9oKj3dpUqdJg1PxRT2RSN/XKdLCPjaYaY=");
}

TEST(BodyHasher, SpentHasherRefusesFurtherUse) {
  BodyHasher hasher(Mode::Relaxed);
  ASSERT_TRUE(hasher.update("a\r\n"));
  ASSERT_TRUE(hasher.finish());
  EXPECT_FALSE(hasher.update("b"));
  EXPECT_FALSE(hasher.finish());
}

TEST(Canonicalization, AllocationFailureIsOutOfMemory) {
  const std::string body(5000, 'x');
  for (Mode mode : {Mode::Simple, Mode::Relaxed}) {
    testing::forEachAllocationFailure([&] {
      BodyCanonicalizer canon(mode);
      auto status = canon.update(body);
      auto result = status ? canon.finish() : Result<std::string>(fail(status.error()));
      if (result) {
        EXPECT_EQ(result->size(), body.size() + 2);
      } else {
        EXPECT_EQ(result.error(), Error::OutOfMemory);
      }
    });
    testing::forEachAllocationFailure([&] {
      auto got = canonicalBodyHash(mode, body);
      if (!got) {
        EXPECT_EQ(got.error(), Error::OutOfMemory);
      }
    });
    testing::forEachAllocationFailure([&] {
      auto got = canonicalizeHeader(mode, "Subject: a long enough value to need the heap");
      if (!got) {
        EXPECT_EQ(got.error(), Error::OutOfMemory);
      }
    });
  }
}

}  // namespace
}  // namespace tollbrook
