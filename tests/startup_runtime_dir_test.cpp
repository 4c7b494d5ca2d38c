// Runtime directories on a real file system, as root where ownership is
// concerned: a directory we make gets mode 0755 whatever the umask and the
// daemon's user as owner; one that already exists (it may be /var/run or
// /tmp) keeps its owner and mode.
#include "daemon/startup/runtime_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/dns_log_capture.h"
#include "tests/program_run.h"

namespace tollbrook {
namespace {

using testing::LogCapture;
using testing::ScratchDir;

struct Owner {
  mode_t mode;
  uid_t uid;
  gid_t gid;
};

Owner statOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return {0, 0, 0};
  return {info.st_mode & 07777, info.st_uid, info.st_gid};
}

class RuntimeDirTest : public ::testing::Test {
 protected:
  void SetUp() override { savedMask_ = umask(077); }
  void TearDown() override { umask(savedMask_); }

  ScratchDir dir;
  LogCapture log;
  // Someone other than us, as the daemon's user would be.
  const UserIds daemonUser{4242, 4343};

 private:
  mode_t savedMask_ = 0;
};

TEST_F(RuntimeDirTest, ANewDirectoryGetsItsModeAndOwner) {
  const std::string owned = dir.file("owned");
  ensureRuntimeDir(owned + "/tollbrook.pid", daemonUser);
  Owner made = statOf(owned);
  EXPECT_EQ(made.mode, 0755u) << "the umask of 077 must not narrow it";
  if (geteuid() == 0) {
    EXPECT_EQ(made.uid, daemonUser.uid);
    EXPECT_EQ(made.gid, daemonUser.gid);
  }

  const std::string unowned = dir.file("unowned");
  ensureRuntimeDir(unowned + "/x.sock", std::nullopt);
  made = statOf(unowned);
  EXPECT_EQ(made.mode, 0755u);
  EXPECT_EQ(made.uid, geteuid());
  EXPECT_EQ(log.takeJoined(),
            geteuid() == 0 ? "" : "warning chown " + owned + ": error.PermissionDenied");
}

TEST_F(RuntimeDirTest, AnExistingDirectoryIsLeftAlone) {
  const std::string shared = dir.file("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);  // like /tmp
  const Owner before = statOf(shared);
  ensureRuntimeDir(shared + "/x.sock", daemonUser);
  const Owner after = statOf(shared);
  EXPECT_EQ(after.mode, before.mode);
  EXPECT_EQ(after.uid, before.uid);
  EXPECT_EQ(after.gid, before.gid);

  // A symlink in place of the directory: nothing is changed through it.
  const std::string link = dir.file("link");
  ASSERT_EQ(symlink(shared.c_str(), link.c_str()), 0);
  ensureRuntimeDir(link + "/x.sock", daemonUser);
  EXPECT_EQ(statOf(shared).uid, before.uid);
  EXPECT_EQ(statOf(shared).mode, before.mode);
  EXPECT_EQ(log.takeJoined(), "");
}

TEST_F(RuntimeDirTest, FailuresAreWarningsOnly) {
  struct Case {
    std::string filePath;
    std::string want;
  } cases[] = {
      {dir.file("a/b/x.pid"), "warning mkdir " + dir.file("a/b") + ": error.FileNotFound"},
      {"x.pid", ""},  // no directory part: nothing to do
  };
  for (const auto& c : cases) {
    ensureRuntimeDir(c.filePath, daemonUser);
    EXPECT_EQ(log.takeJoined(), c.want) << "input " << c.filePath;
  }
  const std::string longDir = "/" + std::string(kMaxRuntimeDirPath, 'd');
  ensureRuntimeDir(longDir + "/x.pid", daemonUser);
  std::string line = log.takeJoined();
  EXPECT_TRUE(line.starts_with("warning mkdir /ddd")) << line;
  struct stat info {};
  EXPECT_NE(stat(longDir.substr(0, 200).c_str(), &info), 0);
}

}  // namespace
}  // namespace tollbrook
