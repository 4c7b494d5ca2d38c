// The daemon's user: the "user" or "user:group" text of the User setting
// resolved to ids, and the one-way drop from root to them. Main thread; the
// drop changes the whole process, threads already running included.
#ifndef TOLLBROOK_DAEMON_STARTUP_PRIVILEGES_H_
#define TOLLBROOK_DAEMON_STARTUP_PRIVILEGES_H_

#include <cstddef>
#include <string_view>

#include "base/error.h"
#include "platform/users.h"

namespace tollbrook {

// Longest user name accepted; group names must be shorter than kMaxGroupName.
inline constexpr size_t kMaxUserName = 255;
inline constexpr size_t kMaxGroupName = 256;

// Splits at the first ":". The user's uid, and the user's primary gid or, with
// a group part, that group's gid. Errors: InvalidUserSpec (empty user, or
// empty group after ":"), UsernameTooLong, GroupNameTooLong, UserNotFound,
// GroupNotFound, OutOfMemory.
[[nodiscard]] Result<UserIds> resolveUserSpec(std::string_view spec);

// Resolves `spec` and becomes that user for good: supplementary groups
// cleared, then the gid, then the uid (the order matters: after setuid we could
// no longer change groups). Errors: those of resolveUserSpec;
// RefusingToDropToRoot for uid 0; SetgroupsFailed, SetgidFailed,
// SetuidFailed; PrivilegeDropNotEffective when any of the real and effective
// ids is not the target afterwards.
[[nodiscard]] Status dropPrivileges(std::string_view spec);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_STARTUP_PRIVILEGES_H_
