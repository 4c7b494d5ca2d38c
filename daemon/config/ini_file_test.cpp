#include "daemon/config/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "testsupport/alloc_failure.h"
#include "testsupport/result_error.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using ::tollbrook::testing::errorOf;
using ::tollbrook::testing::show;

// "[global] a=1 [s] b=" : every section in order, each key with its value.
std::string render(const IniDocument& document) {
  std::string out;
  for (const IniSection& section : document.sections()) {
    if (!out.empty()) out += ' ';
    out += "[" + std::string(section.name()) + "]";
    for (const IniEntry& entry : section.entries()) {
      out += " " + std::string(entry.key) + "=" + std::string(entry.value);
    }
  }
  return out;
}

TEST(IniFile, ReadsSectionsKeysAndValuesInFileOrder) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"", "[global]"},
      {"\n\n  \n", "[global]"},
      // Keys before any header are [global]'s; a later [global] adds to it.
      {"Mode=seal\n[global]\nUser=x\n", "[global] Mode=seal User=x"},
      {"[a]\nx=1\n[global]\ny=2\n", "[global] y=2 [a] x=1"},
      // A repeated key keeps its first position and takes the last value.
      {"a=1\nb=2\na=3\n", "[global] a=3 b=2"},
      // A reopened section gathers the later keys.
      {"[s]\na=1\n[t]\nb=2\n[s]\nc=3\na=4\n", "[global] [s] a=4 c=3 [t] b=2"},
      {"# a=1\n; b=2\n  # c=3\nd=4 # not a comment\n", "[global] d=4 # not a comment"},
      {"[s]\r\na = 1\r\n\r\n", "[global] [s] a=1"},
      {"\t a \v=\f b \r\n", "[global] a=b"},
      {"a=b=c\n", "[global] a=b=c"},
      {"a=\n", "[global] a="},
      {"a=\"quoted\"\n", "[global] a=\"quoted\""},
      {"no equals sign\nb=1\n", "[global] b=1"},
      {"=orphan\n  = x\nb=1\n", "[global] b=1"},
      // Headers: trimmed name, text after "]" ignored, broken ones ignored.
      {"[ s ] trailing\na=1\n", "[global] [s] a=1"},
      {"[a]b]\nx=1\n", "[global] [a] x=1"},
      {"[s]\n[t\na=1\n", "[global] [s] a=1"},
      {"[s]\n[ ]\na=1\n", "[global] [s] a=1"},
      {"[s]\n[]\na=1\n", "[global] [s] a=1"},
      // Names are case-sensitive: [Global] is a section of its own.
      {"[Global]\nA=1\na=2\n", "[global] [Global] A=1 a=2"},
      {"[listener:smtp]\nSocket=inet:25@127.0.0.1\n",
       "[global] [listener:smtp] Socket=inet:25@127.0.0.1"},
      {"a=1", "[global] a=1"},
  };
  for (const auto& c : cases) {
    auto document = parseIniText(c.text);
    ASSERT_TRUE(document) << "input " << show(c.text);
    EXPECT_EQ(render(*document), c.want) << "input " << show(c.text);
  }
}

TEST(IniFile, LooksUpSectionsAndValues) {
  auto document = parseIniText("a=1\nempty=\n[s]\nb=2\n");
  ASSERT_TRUE(document);
  EXPECT_EQ(document->global().name(), "global");
  EXPECT_EQ(document->global().value("a"), "1");
  EXPECT_EQ(document->global().value("empty"), "");
  EXPECT_EQ(document->global().value("A"), std::nullopt);
  EXPECT_EQ(document->global().value("b"), std::nullopt);
  ASSERT_NE(document->section("s"), nullptr);
  EXPECT_EQ(document->section("s")->value("b"), "2");
  EXPECT_EQ(document->section("S"), nullptr);
  EXPECT_EQ(document->section("global"), &document->global());
}

// Short texts live inside a std::string object; the views must survive moves
// of the document all the same.
TEST(IniFile, ViewsStayValidWhenTheDocumentMoves) {
  auto parsed = parseIniText("a=1\n[s]\nb=2");
  ASSERT_TRUE(parsed);
  IniDocument moved = std::move(*parsed);
  IniDocument again = std::move(moved);
  EXPECT_EQ(render(again), "[global] a=1 [s] b=2");
  EXPECT_EQ(again.section("s")->value("b"), "2");
}

TEST(IniFile, ReportsOutOfMemoryAtEveryAllocation) {
  int64_t runs = ::tollbrook::testing::forEachAllocationFailure([] {
    auto document = parseIniText("a=1\nb=2\n[s]\nc=3\n[t]\nd=4\n[s]\ne=5\n");
    ::tollbrook::testing::disarmAllocationFailure();  // rendering allocates
    if (document) {
      EXPECT_EQ(render(*document), "[global] a=1 b=2 [s] c=3 e=5 [t] d=4");
    } else {
      EXPECT_EQ(document.error(), Error::OutOfMemory);
    }
  });
  EXPECT_GT(runs, 5);
}

class IniFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tollbrook-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + directory_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = directory_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return path;
  }

  std::string directory_;
};

// A file of exactly the limit is read to its last byte; one byte more is refused.
TEST_F(IniFileOnDisk, AcceptsExactlyOneMebibyte) {
  const std::string tail = "\nlast=yes\n";
  std::string text = "# padding " + std::string(kMaxIniFileSize - 10 - tail.size(), 'x') + tail;
  ASSERT_EQ(text.size(), kMaxIniFileSize);
  auto document = readIniFile(write("limit.conf", text));
  ASSERT_TRUE(document) << errorName(errorOf(document));
  EXPECT_EQ(document->global().value("last"), "yes");

  auto tooBig = readIniFile(write("over.conf", text + "\n"));
  EXPECT_EQ(errorOf(tooBig), Error::FileTooBig);
}

TEST_F(IniFileOnDisk, BoundsFilesWithoutAKnownSize) {
  // A character device reports no size; reading stops one byte past the limit.
  EXPECT_EQ(errorOf(readIniFile("/dev/zero")), Error::FileTooBig);
  auto empty = readIniFile("/dev/null");
  ASSERT_TRUE(empty);
  EXPECT_EQ(render(*empty), "[global]");
}

TEST_F(IniFileOnDisk, MapsPathAndOpenFailures) {
  std::string longName = "/" + std::string(kMaxIniPathLength - 1, 'a');
  // Just under the limit the path reaches the system, which finds nothing.
  std::string longestPath = "/";
  while (longestPath.size() + 2 < kMaxIniPathLength) longestPath += "a/";
  longestPath.resize(kMaxIniPathLength - 1, 'b');
  struct Case {
    std::string path;
    Error want;
  };
  const Case cases[] = {
      {directory_ + "/missing.conf", Error::FileNotFound},
      {directory_, Error::IsDir},
      {write("file", "") + "/below", Error::NotDir},
      {longName, Error::NameTooLong},
      {longestPath, Error::FileNotFound},
      {std::string("/etc/passwd\0x", 13), Error::InvalidArgument},
  };
  for (const auto& c : cases) {
    Error got = errorOf(readIniFile(c.path));
    EXPECT_EQ(got, c.want) << "path of " << c.path.size() << " bytes " << show(c.path.substr(0, 60))
                           << ": got " << errorName(got) << ", want " << errorName(c.want);
  }
}

TEST_F(IniFileOnDisk, RefusesAnUnreadableFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  std::string path = write("secret.conf", "a=1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(errorOf(readIniFile(path)), Error::AccessDenied);
}

}  // namespace
}  // namespace tollbrook
