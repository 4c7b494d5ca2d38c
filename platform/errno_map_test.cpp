#include "platform/errno_map.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tollbrook {
namespace {

TEST(ErrnoMap, ErrnoMapsToPlatformKinds) {
  struct Case {
    int err;
    Error error;
  } cases[] = {
      {ENOENT, Error::FileNotFound},
      {EACCES, Error::AccessDenied},
      {EISDIR, Error::IsDir},
      {ENAMETOOLONG, Error::NameTooLong},
      {ELOOP, Error::SymLinkLoop},
      {EAGAIN, Error::WouldBlock},
      {ECONNREFUSED, Error::ConnectionRefused},
      {12345, Error::Unexpected},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorFromErrno(c.err), c.error) << "errno " << c.err;
  }
}

}  // namespace
}  // namespace tollbrook
