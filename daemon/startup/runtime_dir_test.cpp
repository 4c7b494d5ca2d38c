#include "daemon/startup/runtime_dir.h"

#include <gtest/gtest.h>

namespace tollbrook {
namespace {

TEST(RuntimeDirOf, DropsTheLastComponent) {
  struct Case {
    std::string_view path;
    std::optional<std::string_view> dir;
  } cases[] = {
      {"/var/run/tollbrook/tollbrook.pid", "/var/run/tollbrook"},
      {"/tollbrook.pid", "/"},
      {"//tollbrook.pid", "/"},
      {"/var/run/tollbrook/", "/var/run"},  // trailing "/" goes first
      {"/var/run//x.sock", "/var/run"},
      {"run/x.sock", "run"},
      {"x.sock", std::nullopt},
      {"x.sock/", std::nullopt},
      {"/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto got = runtimeDirOf(c.path);
    EXPECT_EQ(got, c.dir) << "input \"" << c.path << "\": got \"" << got.value_or("(none)")
                          << "\", want \"" << c.dir.value_or("(none)") << "\"";
  }
}

}  // namespace
}  // namespace tollbrook
