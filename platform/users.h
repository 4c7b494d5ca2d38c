// The user database and the process credentials: looking up a user or a group
// by name, and giving up root for a user and group. Lookups return plain
// values; the credential calls change the whole process (glibc applies them to
// every thread, as BSD kernels do by design). Main thread.
#ifndef TOLLBROOK_PLATFORM_USERS_H_
#define TOLLBROOK_PLATFORM_USERS_H_

#include <sys/types.h>

#include <string_view>

#include "base/error.h"

namespace tollbrook {

struct UserIds {
  uid_t uid = 0;
  gid_t gid = 0;  // the user's primary group
};

// getpwnam_r(3): the user's uid and primary gid. OutOfMemory when the entry
// does not fit a buffer we can allocate; UserNotFound for every other failure:
// no such user, a name holding a NUL byte (no entry can match it), or a lookup
// that fails (systems disagree on the errno of "not found").
[[nodiscard]] Result<UserIds> lookupUser(std::string_view name);

// getgrnam_r(3): the group's gid; GroupNotFound where lookupUser gives
// UserNotFound.
[[nodiscard]] Result<gid_t> lookupGroup(std::string_view name);

// setgroups(2) with an empty list, setgid(2) and setuid(2). Errors are the
// platform's, mapped (PermissionDenied when we are not privileged).
[[nodiscard]] Status clearSupplementaryGroups();
[[nodiscard]] Status setGroupId(gid_t gid);
[[nodiscard]] Status setUserId(uid_t uid);

// The four ids of the calling process.
struct ProcessIds {
  uid_t uid;
  uid_t euid;
  gid_t gid;
  gid_t egid;
};
ProcessIds currentProcessIds();

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_USERS_H_
