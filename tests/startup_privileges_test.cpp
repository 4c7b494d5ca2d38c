// The privilege drop for real: as root, a throwaway system user is created,
// a forked child drops to it, and what the child can no longer do is checked.
// The test process itself keeps root. Skips when not root or without useradd.
#include "daemon/startup/privileges.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/program_run.h"
#include "tests/startup_test_support.h"

namespace tollbrook {
namespace {

using testing::Baton;
using testing::forkChild;
using testing::runProgram;
using testing::ScratchDir;
using testing::waitForExit;

constexpr const char* kUseradd = "/usr/sbin/useradd";
constexpr const char* kUserdel = "/usr/sbin/userdel";

// A system user that exists for the life of the object.
class ThrowawayUser {
 public:
  ThrowawayUser() : name_("tb-test-" + std::to_string(getpid())) {
    auto run = runProgram(
        {kUseradd, "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name_});
    created_ = run.status == 0;
    error_ = run.err;
  }
  ~ThrowawayUser() {
    if (created_) runProgram({kUserdel, name_});
  }
  bool created() const { return created_; }
  const std::string& name() const { return name_; }
  const std::string& error() const { return error_; }

 private:
  std::string name_;
  bool created_ = false;
  std::string error_;
};

// What the dropped child reports: its ids and what it could open.
std::string describeDroppedProcess(const std::string& secret, const std::string& shared) {
  int secretFd = open(secret.c_str(), O_RDONLY);
  int secretErrno = errno;
  int sharedFd = open(shared.c_str(), O_RDONLY);
  gid_t groups[8];
  int groupCount = getgroups(8, groups);
  bool regained = setuid(0) == 0 || seteuid(0) == 0;
  return "uid=" + std::to_string(getuid()) + "/" + std::to_string(geteuid()) +
         " gid=" + std::to_string(getgid()) + "/" + std::to_string(getegid()) +
         " groups=" + std::to_string(groupCount) + " secret=" +
         (secretFd >= 0           ? "readable"
          : secretErrno == EACCES ? "denied"
                                  : "other") +
         " shared=" + (sharedFd >= 0 ? "readable" : "denied") +
         " root=" + (regained ? "regained" : "gone") + "\n";
}

TEST(DropPrivileges, TheDroppedProcessCannotActAsRootAgain) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create a user and drop privileges";
  if (access(kUseradd, X_OK) != 0) GTEST_SKIP() << kUseradd << " is missing";
  ThrowawayUser user;
  ASSERT_TRUE(user.created()) << "useradd failed: " << user.error();
  auto ids = resolveUserSpec(user.name());
  ASSERT_TRUE(ids);
  const group* nogroup = getgrnam("nogroup");
  ASSERT_NE(nogroup, nullptr);

  ScratchDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string secret = dir.write("secret", "root only\n");
  const std::string shared = dir.write("shared", "anyone\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
  gid_t savedGroups[64];
  int savedCount = getgroups(64, savedGroups);
  ASSERT_GE(savedCount, 0);
  ASSERT_EQ(setgroups(1, &nogroup->gr_gid), 0) << "give root a supplementary group to lose";

  struct Case {
    std::string spec;
    gid_t gid;
  } cases[] = {
      {user.name(), ids->gid},
      {user.name() + ":nogroup", nogroup->gr_gid},
  };
  for (const auto& c : cases) {
    Baton report;
    pid_t child = forkChild([&] {
      report.closeReadEnd();
      if (auto dropped = dropPrivileges(c.spec); !dropped) {
        report.send("error." + std::string(errorName(dropped.error())) + "\n");
        return 1;
      }
      report.send(describeDroppedProcess(secret, shared));
      return 0;
    });
    report.closeWriteEnd();
    std::string want = "uid=" + std::to_string(ids->uid) + "/" + std::to_string(ids->uid) +
                       " gid=" + std::to_string(c.gid) + "/" + std::to_string(c.gid) +
                       " groups=0 secret=denied shared=readable root=gone\n";
    EXPECT_EQ(report.receiveLine(10000), want) << "input " << c.spec;
    EXPECT_EQ(waitForExit(child, 10000), 0) << "input " << c.spec;
  }
  EXPECT_EQ(geteuid(), 0u) << "the test process itself keeps root";
  setgroups(static_cast<size_t>(savedCount), savedGroups);
}

}  // namespace
}  // namespace tollbrook
