#include "core/message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using namespace std::string_literals;

// A message rendered as text: one line per field, name|value|leadingSpace,
// with CR, LF and HT spelled out, then the body.
std::string render(const Message& message) {
  auto spell = testing::spellLineBytes;
  std::string out;
  for (const auto& field : message.headers) {
    out += "[" + spell(field.name) + "|" + spell(field.value) + "|" +
           (field.leadingSpace ? "sp" : "-") + "]";
  }
  out += "body=" + spell(message.body);
  return out;
}

TEST(ParseMessage, FieldsAndBody) {
  struct Case {
    std::string raw;
    std::string want;
  };
  const Case cases[] = {
      {"A: 1\r\nB: 2\r\n\r\nbody\r\n", "[A|1|sp][B|2|sp]body=body\\r\\n"},
      {"A: 1\nB: 2\n\nbody\n", "[A|1|sp][B|2|sp]body=body\\r\\n"},
      {"A: 1\rB: 2\r\rbody", "[A|1|sp][B|2|sp]body=body"},
      // A lone CR inside a line breaks it; the remainder has no colon here.
      {"A: x\ry\r\n\r\n", "[A|x|sp]body="},
      {"Subject: a\rTo: b\r\n\r\n", "[Subject|a|sp][To|b|sp]body="},
      {"A:x\r\n\r\n", "[A|x|-]body="},
      {"A:  x\r\n\r\n", "[A| x|sp]body="},
      {"A:\tx\r\n\r\n", "[A|\\tx|-]body="},
      {"A:\r\n\r\n", "[A||-]body="},
      {"A: \r\n\r\n", "[A||sp]body="},
      {"A :x\r\n\r\n", "[A |x|-]body="},
      {"A: one\r\n two\r\n\tthree\r\nB: 2\r\n\r\n",
       "[A|one\\r\\n two\\r\\n\\tthree|sp][B|2|sp]body="},
      {" orphan\r\nA: 1\r\nno colon\r\nB: 2\r\n\r\n", "[A|1|sp][B|2|sp]body="},
      {"A: 1\r\nB: 2\r\n", "[A|1|sp][B|2|sp]body="},
      {"A: 1\r\nB: 2", "[A|1|sp][B|2|sp]body="},
      {"\r\nA: 1\r\n\r\nbody", "[A|1|sp]body=body"},
      {"\r\n\r\nA: 1", "body=A: 1"},
      {"A: 1\r\n\r\n", "[A|1|sp]body="},
      {"A: 1\r\n\r\n\r\nx", "[A|1|sp]body=\\r\\nx"},
      {"", "body="},
      {"\r", "body="},
      {"A: a:b: c\r\n\r\n", "[A|a:b: c|sp]body="},
      {"A: \0\x80\xff\r\n\r\nb\0dy"s, "[A|\0\x80\xff|sp]body=b\0dy"s},
      {"A: 1\r\r\nB: 2\n\r", "[A|1|sp]body=B: 2\\r\\n\\r\\n"},
      {"A: 1\r\n\r\nbody\rwith lone\nends\r", "[A|1|sp]body=body\\r\\nwith lone\\r\\nends\\r\\n"},
  };
  for (const auto& c : cases) {
    auto message = parseMessage(c.raw);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(render(*message), c.want) << "input \"" << c.raw << "\"";
  }
  // A view with no storage behind it at all is an empty message too.
  auto none = parseMessage(std::string_view());
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(render(*none), "body=");
}

TEST(ParseMessage, LfOnlyFileEqualsCrLfFile) {
  std::string lf = "From: a@example.org\nSubject: hi\n there\n\nline 1\nline 2\n";
  std::string crlf = "From: a@example.org\r\nSubject: hi\r\n there\r\n\r\nline 1\r\nline 2\r\n";
  auto a = parseMessage(lf);
  auto b = parseMessage(crlf);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(render(*a), render(*b));
  EXPECT_EQ(std::string_view(a->buffer.data(), a->buffer.size()), crlf);
}

// The plain byte-by-byte rule, as a reference for the copying normaliser.
std::string normaliseByteByByte(std::string_view raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' || raw[i] == '\n') {
      out += "\r\n";
      if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

TEST(ParseMessage, NormalisationMatchesByteRuleOnMixedLineEnds) {
  const char alphabet[] = {'\r', '\n', 'a', ':', ' ', '\t'};
  uint32_t seed = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string raw;
    size_t length = round % 48;
    for (size_t i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      raw += alphabet[(seed >> 16) % sizeof(alphabet)];
    }
    auto message = parseMessage(raw);
    ASSERT_TRUE(message);
    std::string_view got(message->buffer.data(), message->buffer.size());
    ASSERT_EQ(got, normaliseByteByByte(raw)) << "input \"" << raw << "\"";
  }
}

TEST(ParseMessage, ViewsPointIntoBufferAndSurviveMove) {
  auto parsed = parseMessage("A: 1\nB: 2\n\nbody");
  ASSERT_TRUE(parsed);
  Message moved = std::move(*parsed);
  const char* begin = moved.buffer.data();
  const char* end = begin + moved.buffer.size();
  auto inside = [&](std::string_view view) {
    return view.data() >= begin && view.data() + view.size() <= end;
  };
  ASSERT_EQ(moved.headers.size(), 2u);
  for (const auto& field : moved.headers) {
    EXPECT_TRUE(inside(field.name) && inside(field.value));
  }
  EXPECT_TRUE(inside(moved.body));
  EXPECT_EQ(moved.body, "body");
}

TEST(ParseMessage, EveryAllocationFailureIsOutOfMemory) {
  std::string raw;
  for (int i = 0; i < 40; ++i) raw += "X-Field-" + std::to_string(i) + ": value\n";
  raw += "\nbody\n";
  int64_t runs = testing::forEachAllocationFailure([&] {
    auto message = parseMessage(raw);
    if (!message) {
      EXPECT_EQ(message.error(), Error::OutOfMemory);
    } else {
      EXPECT_EQ(message->headers.size(), 40u);
    }
  });
  EXPECT_GT(runs, 2);
}

TEST(HeaderNameEquals, AsciiCaseOnly) {
  struct Case {
    std::string a, b;
    bool want;
  };
  const Case cases[] = {
      {"ARC-Seal", "arc-seal", true},
      {"ARC-Seal", "ARC-SEAL", true},
      {"ARC-Seal ", "ARC-Seal", false},
      {"ARC-Seal", "ARC-Sea", false},
      {"", "", true},
      {"\xc4", "\xe4", false},
      {"[", "{", false},
      {"@", "`", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(headerNameEquals(c.a, c.b), c.want) << "input \"" << c.a << "\" vs \"" << c.b << "\"";
  }
}

class MessageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tb-core-msgXXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& path : created_) ::unlink(path.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    created_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(MessageFileTest, ReadsAndParses) {
  auto message = readMessageFile(write("m.eml", "A: 1\nB: 2\n\nbody\n"));
  ASSERT_TRUE(message) << errorName(message.error());
  EXPECT_EQ(render(*message), "[A|1|sp][B|2|sp]body=body\\r\\n");
}

TEST_F(MessageFileTest, SizeLimitIsEightMebibytes) {
  constexpr size_t kLimit = 8 * 1024 * 1024;
  std::string exact(kLimit, 'x');
  exact.replace(0, 7, "A: 1\n\nb");
  auto fits = readMessageFile(write("exact.eml", exact));
  ASSERT_TRUE(fits) << errorName(fits.error());
  EXPECT_EQ(fits->body.size(), kLimit - 6);
  exact.push_back('x');
  auto over = readMessageFile(write("over.eml", exact));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), Error::FileTooBig);
}

TEST_F(MessageFileTest, Errors) {
  std::string missing = dir_ + "/missing.eml";
  std::string longPath(1024, 'a');
  std::string maxPath = "/" + std::string(1022, 'a');
  std::string withNul = write("nul.eml", "A: 1\n\n") + std::string("\0x", 2);
  struct Case {
    std::string path;
    Error want;
  };
  const Case cases[] = {
      {missing, Error::FileNotFound},
      {dir_, Error::IsDir},
      {longPath, Error::NameTooLong},
      {maxPath, Error::NameTooLong},  // 1023 bytes reach the system, whose limit is lower
      {withNul, Error::InvalidArgument},
      {write("f", "x") + "/child", Error::NotDir},
  };
  for (const auto& c : cases) {
    auto got = readMessageFile(c.path);
    ASSERT_FALSE(got) << "input " << c.path.substr(0, 80);
    EXPECT_EQ(errorName(got.error()), errorName(c.want)) << "input " << c.path.substr(0, 80);
  }
  if (::geteuid() != 0) {
    std::string closed = write("closed.eml", "A: 1\n\n");
    ::chmod(closed.c_str(), 0);
    auto got = readMessageFile(closed);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), Error::AccessDenied);
  }
}

TEST_F(MessageFileTest, AllocationFailureIsOutOfMemory) {
  std::string path = write("oom.eml", "A: 1\nB: 2\n\nbody\n");
  testing::forEachAllocationFailure([&] {
    auto message = readMessageFile(path);
    if (!message) {
      EXPECT_EQ(message.error(), Error::OutOfMemory);
    }
  });
}

}  // namespace
}  // namespace tollbrook
