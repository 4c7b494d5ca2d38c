#include "daemon/startup/privileges.h"

#include <gtest/gtest.h>
#include <pwd.h>

#include <string>

namespace tollbrook {
namespace {

// The ids libc gives for a user, to compare our resolution with.
UserIds idsFromLibc(const char* user) {
  const passwd* entry = getpwnam(user);
  return entry ? UserIds{entry->pw_uid, entry->pw_gid} : UserIds{};
}

TEST(ResolveUserSpec, SplitsChecksAndLooksUp) {
  const std::string longName(256, 'u');
  const std::string longestName(255, 'u');
  const UserIds nobody = idsFromLibc("nobody");
  struct Case {
    std::string spec;
    Result<UserIds> want;
  } cases[] = {
      {"root", UserIds{0, 0}},
      {"nobody", nobody},
      {"nobody:root", UserIds{nobody.uid, 0}},
      {"", fail(Error::InvalidUserSpec)},
      {":root", fail(Error::InvalidUserSpec)},
      {"root:", fail(Error::InvalidUserSpec)},
      {longName, fail(Error::UsernameTooLong)},
      {longestName, fail(Error::UserNotFound)},
      {"root:" + longName, fail(Error::GroupNameTooLong)},
      {"root:" + longestName, fail(Error::GroupNotFound)},
      {longName + ":", fail(Error::InvalidUserSpec)},
      {"tollbrook-no-such-user", fail(Error::UserNotFound)},
      {"root:tollbrook-no-such-group", fail(Error::GroupNotFound)},
      {"root:root:x", fail(Error::GroupNotFound)},  // only the first ":" splits
  };
  for (const auto& c : cases) {
    auto got = resolveUserSpec(c.spec);
    if (c.want) {
      ASSERT_TRUE(got) << "input \"" << c.spec << "\": got error." << errorName(got.error());
      EXPECT_EQ(got->uid, c.want->uid) << "input \"" << c.spec << "\"";
      EXPECT_EQ(got->gid, c.want->gid) << "input \"" << c.spec << "\"";
    } else {
      ASSERT_FALSE(got) << "input \"" << c.spec << "\": got uid " << got->uid;
      EXPECT_EQ(got.error(), c.want.error())
          << "input \"" << c.spec << "\": got " << errorName(got.error()) << ", want "
          << errorName(c.want.error());
    }
  }
}

// Refusals come before any credential changes, so they are safe to run here;
// the drop itself runs in a forked child in tests/startup_privileges_test.cpp.
TEST(DropPrivileges, RefusesRootAndBadSpecsWithoutChangingAnything) {
  struct Case {
    const char* spec;
    Error want;
  } cases[] = {
      {"root", Error::RefusingToDropToRoot},
      {"root:nogroup", Error::RefusingToDropToRoot},
      {"root:", Error::InvalidUserSpec},
      {"tollbrook-no-such-user", Error::UserNotFound},
  };
  const uid_t before = geteuid();
  for (const auto& c : cases) {
    auto got = dropPrivileges(c.spec);
    ASSERT_FALSE(got) << "input \"" << c.spec << "\"";
    EXPECT_EQ(got.error(), c.want) << "input \"" << c.spec << "\": got " << errorName(got.error())
                                   << ", want " << errorName(c.want);
    EXPECT_EQ(geteuid(), before);
  }
}

}  // namespace
}  // namespace tollbrook
