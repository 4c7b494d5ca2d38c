// The cache of slow-to-make test files: made once while the scripts that make
// them stay the same, made again when they change, never kept half-made, and
// made once when several makers ask at the same time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixture_cache.h"
#include "tests/program_run.h"

namespace tollbrook::testing {
namespace {

bool exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

// A cache entry name of this process alone, removed with its copies at the end.
class FixtureCacheTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : made_) removeTree(path);
    unlink((fixtureCacheRoot() + "/" + name_ + ".lock").c_str());
  }

  // cachedFixture for name_ keyed by the script file; counts the makes.
  std::expected<std::string, std::string> fixture(std::string failure = "") {
    auto path = cachedFixture(name_, {script_}, [&](const std::string& dir) {
      ++makes_;
      writeFile(dir + "/made.txt", readFile(script_));
      return failure;
    });
    if (path) made_.push_back(*path);
    return path;
  }

  ScratchDir dir_;
  const std::string name_ = "cache-test-" + std::to_string(getpid()) + "-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string script_ = dir_.write("maker.py", "version 1\n");
  std::atomic<int> makes_ = 0;
  std::vector<std::string> made_;
};

TEST_F(FixtureCacheTest, MadeOnceUntilTheScriptChanges) {
  auto first = fixture();
  ASSERT_TRUE(first) << first.error();
  auto again = fixture();
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(*again, *first);
  EXPECT_EQ(makes_, 1);
  EXPECT_EQ(readFile(*first + "/made.txt"), "version 1\n");

  writeFile(script_, "version 2\n");
  auto changed = fixture();
  ASSERT_TRUE(changed) << changed.error();
  EXPECT_NE(*changed, *first);
  EXPECT_EQ(makes_, 2);
  EXPECT_EQ(readFile(*changed + "/made.txt"), "version 2\n");
  EXPECT_FALSE(exists(*first)) << "the copy of the old script is still there";
}

TEST_F(FixtureCacheTest, AFailedMakeKeepsNothing) {
  auto failed = fixture("the oracle said no");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "the oracle said no");
  auto retried = fixture();
  ASSERT_TRUE(retried) << retried.error();
  EXPECT_EQ(makes_, 2) << "a failed make must not be remembered";
}

// Separate opens of the lock file exclude each other as other processes would.
TEST_F(FixtureCacheTest, MakersAskingTogetherMakeOneCopy) {
  std::vector<std::expected<std::string, std::string>> paths(4);
  std::vector<std::thread> threads;
  for (auto& path : paths) {
    threads.emplace_back([&] {
      path = cachedFixture(name_, {script_}, [&](const std::string& dir) {
        ++makes_;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writeFile(dir + "/made.txt", "made\n");
        return std::string();
      });
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(makes_, 1);
  for (const auto& path : paths) {
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, *paths[0]);
    EXPECT_EQ(readFile(*path + "/made.txt"), "made\n");
  }
  made_.push_back(*paths[0]);
}

}  // namespace
}  // namespace tollbrook::testing
