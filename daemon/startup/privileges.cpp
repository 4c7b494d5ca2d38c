#include "daemon/startup/privileges.h"

namespace tollbrook {

namespace {

struct UserSpecParts {
  std::string_view user;
  std::string_view group;
  bool hasGroup = false;
};

Result<UserSpecParts> splitUserSpec(std::string_view spec) {
  UserSpecParts parts{spec, {}, false};
  if (size_t colon = spec.find(':'); colon != std::string_view::npos) {
    parts = {spec.substr(0, colon), spec.substr(colon + 1), true};
  }
  if (parts.user.empty() || (parts.hasGroup && parts.group.empty())) {
    return fail(Error::InvalidUserSpec);
  }
  if (parts.user.size() > kMaxUserName) return fail(Error::UsernameTooLong);
  if (parts.group.size() >= kMaxGroupName) return fail(Error::GroupNameTooLong);
  return parts;
}

bool runningAs(const UserIds& target) {
  ProcessIds ids = currentProcessIds();
  return ids.uid == target.uid && ids.euid == target.uid && ids.gid == target.gid &&
         ids.egid == target.gid;
}

}  // namespace

Result<UserIds> resolveUserSpec(std::string_view spec) {
  auto parts = splitUserSpec(spec);
  if (!parts) return fail(parts.error());
  auto user = lookupUser(parts->user);
  if (!user) return fail(user.error());
  if (!parts->hasGroup) return *user;
  auto group = lookupGroup(parts->group);
  if (!group) return fail(group.error());
  return UserIds{user->uid, *group};
}

Status dropPrivileges(std::string_view spec) {
  auto target = resolveUserSpec(spec);
  if (!target) return fail(target.error());
  if (target->uid == 0) return fail(Error::RefusingToDropToRoot);
  if (!clearSupplementaryGroups()) return fail(Error::SetgroupsFailed);
  if (!setGroupId(target->gid)) return fail(Error::SetgidFailed);
  if (!setUserId(target->uid)) return fail(Error::SetuidFailed);
  if (!runningAs(*target)) return fail(Error::PrivilegeDropNotEffective);
  return {};
}

}  // namespace tollbrook
