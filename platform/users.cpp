#include "platform/users.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

// Entries with many group members can be large; past this we give up.
constexpr size_t kMaxEntryBuffer = size_t{1} << 20;

size_t initialBufferSize(int sysconfName) {
  long suggested = ::sysconf(sysconfName);
  return suggested > 0 ? static_cast<size_t>(suggested) : 1024;
}

// Runs one reentrant lookup (getpwnam_r or getgrnam_r) with a buffer that
// grows while the entry does not fit. Returns whether the entry was found.
template <typename Entry, typename Lookup>
Result<bool> lookUp(std::string_view name, int sysconfName, Entry& entry, Lookup lookup) {
  if (name.find('\0') != std::string_view::npos) return false;
  try {
    std::string key(name);
    std::vector<char> buffer(initialBufferSize(sysconfName));
    for (;;) {
      Entry* found = nullptr;
      int rc = lookup(key.c_str(), &entry, buffer.data(), buffer.size(), &found);
      if (rc == 0) return found != nullptr;
      if (rc != ERANGE) return rc == ENOMEM ? fail(Error::OutOfMemory) : Result<bool>(false);
      if (buffer.size() >= kMaxEntryBuffer) return fail(Error::OutOfMemory);
      buffer.resize(buffer.size() * 2);
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace

Result<UserIds> lookupUser(std::string_view name) {
  passwd entry{};
  auto found = lookUp(name, _SC_GETPW_R_SIZE_MAX, entry, ::getpwnam_r);
  if (!found) return fail(found.error());
  if (!*found) return fail(Error::UserNotFound);
  return UserIds{entry.pw_uid, entry.pw_gid};
}

Result<gid_t> lookupGroup(std::string_view name) {
  group entry{};
  auto found = lookUp(name, _SC_GETGR_R_SIZE_MAX, entry, ::getgrnam_r);
  if (!found) return fail(found.error());
  if (!*found) return fail(Error::GroupNotFound);
  return entry.gr_gid;
}

Status clearSupplementaryGroups() {
  if (::setgroups(0, nullptr) != 0) return fail(errorFromErrno(errno));
  return {};
}

Status setGroupId(gid_t gid) {
  if (::setgid(gid) != 0) return fail(errorFromErrno(errno));
  return {};
}

Status setUserId(uid_t uid) {
  if (::setuid(uid) != 0) return fail(errorFromErrno(errno));
  return {};
}

ProcessIds currentProcessIds() {
  return {::getuid(), ::geteuid(), ::getgid(), ::getegid()};
}

}  // namespace tollbrook
