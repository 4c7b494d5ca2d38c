#include "platform/users.h"

#include <gtest/gtest.h>

#include <string>

namespace tollbrook {
namespace {

using namespace std::string_literals;

TEST(UserLookup, NamesMapToIdsOrNotFound) {
  struct Case {
    std::string name;
    bool found;
  } cases[] = {
      {"root", true},
      {"tollbrook-no-such-user", false},
      {""s, false},
      {"root\0x"s, false},  // a NUL cannot be passed on, and must not match "root"
  };
  for (const auto& c : cases) {
    auto user = lookupUser(c.name);
    EXPECT_EQ(user.has_value(), c.found) << "user \"" << c.name << "\"";
    if (user) {
      EXPECT_EQ(user->uid, 0u);
      EXPECT_EQ(user->gid, 0u);
    } else {
      EXPECT_EQ(user.error(), Error::UserNotFound) << "user \"" << c.name << "\"";
    }
    auto group = lookupGroup(c.name);
    EXPECT_EQ(group.has_value(), c.found) << "group \"" << c.name << "\"";
    if (group) {
      EXPECT_EQ(*group, 0u);
    } else {
      EXPECT_EQ(group.error(), Error::GroupNotFound) << "group \"" << c.name << "\"";
    }
  }
}

}  // namespace
}  // namespace tollbrook
