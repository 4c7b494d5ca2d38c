#include "daemon/config/listen_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using ::tollbrook::testing::show;

// "inet 127.0.0.1 25", "unix /run/x.sock", or the bare error name.
std::string render(const Result<ListenAddress>& address) {
  if (!address) return std::string(errorName(address.error()));
  if (address->isUnix) return "unix " + address->address;
  return "inet " + address->address + " " + std::to_string(address->port);
}

TEST(ListenAddress, ParsesTheFourForms) {
  const std::string path103 = "/" + std::string(102, 'p');
  const std::string path104 = "/" + std::string(103, 'p');
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"inet:8895@127.0.0.1", "inet 127.0.0.1 8895"},
      {"inet:8895", "inet 0.0.0.0 8895"},
      {"inet:25@::1", "inet ::1 25"},
      {"inet:25@fe80::1:2", "inet fe80::1:2 25"},
      {"8895", "inet 0.0.0.0 8895"},
      {"8895@10.1.2.3", "inet 10.1.2.3 8895"},
      {"+1_025@10.1.2.3", "inet 10.1.2.3 1025"},
      {"unix:/var/run/x.sock", "unix /var/run/x.sock"},
      {"/var/run/x.sock", "unix /var/run/x.sock"},
      {"unix:relative.sock", "unix relative.sock"},
      {"unix:" + path103, "unix " + path103},
      {path103, "unix " + path103},
      {"unix:" + path104, "InvalidPath"},
      {path104, "InvalidPath"},
      {"unix:", "InvalidPath"},
      {std::string("/run/a\0b", 8), "InvalidPath"},
      {"inet:99999@127.0.0.1", "InvalidPort"},
      {"inet:65536", "InvalidPort"},
      {"inet:65535", "inet 0.0.0.0 65535"},
      {"inet:", "InvalidPort"},
      {"inet:@127.0.0.1", "InvalidPort"},
      {"inet:-1@127.0.0.1", "InvalidPort"},
      {"inet:port@127.0.0.1", "InvalidPort"},
      {"localhost", "InvalidPort"},
      {"Unix:/x", "InvalidPort"},  // prefixes are case-sensitive
      {"", "InvalidPort"},
      {"inet:25@localhost", "InvalidHost"},
      {"inet:25@", "InvalidHost"},
      {"inet:25@127.0.0.01", "InvalidHost"},
      {"inet:25@127.1", "InvalidHost"},
      {"inet:25@[::1]", "InvalidHost"},
      {"inet:25@127.0.0.1@x", "InvalidHost"},
      {"25@ 127.0.0.1", "InvalidHost"},
  };
  for (const auto& c : cases) {
    std::string got = render(parseListenAddress(c.text));
    EXPECT_EQ(got, c.want) << "input " << show(c.text) << ": got " << got << ", want " << c.want;
  }
}

TEST(ListenAddress, AllocationFailureIsOutOfMemory) {
  for (std::string_view text : {"unix:/var/run/tollbrook/milter.sock", "inet:25@fe80::1:2:3:4"}) {
    ::tollbrook::testing::forEachAllocationFailure([&] {
      Result<ListenAddress> address = parseListenAddress(text);
      if (!address) {
        EXPECT_EQ(address.error(), Error::OutOfMemory) << "input " << text;
      }
    });
  }
}

TEST(ListenAddress, FindsListenersThatWouldShareAnAddress) {
  struct Case {
    std::vector<std::string> earlier;
    std::string next;
    int want;  // index of the earlier listener it clashes with, -1 for none
  };
  const Case cases[] = {
      {{"unix:/run/a.sock"}, "/run/a.sock", 0},
      {{"unix:/run/a.sock"}, "/run/b.sock", -1},
      {{"unix:/run/a.sock"}, "unix:run/a.sock", -1},  // paths compare as written
      {{"inet:25@127.0.0.1"}, "25@127.0.0.1", 0},
      {{"inet:25@127.0.0.1"}, "inet:26@127.0.0.1", -1},
      {{"inet:25@127.0.0.1"}, "inet:25@127.0.0.2", -1},
      {{"inet:25@::1"}, "inet:25@0:0:0:0:0:0:0:1", 0},
      {{"inet:25@127.0.0.1"}, "inet:25@::ffff:127.0.0.1", 0},
      // The IPv4 wildcard takes the port on every IPv4 address, either way round.
      {{"inet:25"}, "inet:25@127.0.0.1", 0},
      {{"inet:25@127.0.0.1"}, "inet:25@0.0.0.0", 0},
      {{"inet:26", "inet:25@10.0.0.1", "inet:25@10.0.0.2"}, "inet:25", 1},
      {{"inet:25"}, "inet:26@127.0.0.1", -1},
      // :: takes the port on every IPv6 address, and leaves IPv4 alone.
      {{"inet:25@::"}, "inet:25@::1", 0},
      {{"inet:25@fe80::1"}, "inet:25@::", 0},
      {{"inet:25@::"}, "inet:25", -1},
      {{"inet:25"}, "inet:25@::", -1},
      {{"inet:25@::"}, "inet:25@127.0.0.1", -1},
      // A unix path never clashes with an inet address.
      {{"inet:25"}, "unix:/run/a.sock", -1},
  };
  for (const auto& c : cases) {
    ListenAddressSet taken;
    for (size_t i = 0; i < c.earlier.size(); ++i) {
      auto address = parseListenAddress(c.earlier[i]);
      ASSERT_TRUE(address) << c.earlier[i];
      ASSERT_EQ(taken.findClashOrAdd(*address, i), std::nullopt) << c.earlier[i];
    }
    auto next = parseListenAddress(c.next);
    ASSERT_TRUE(next) << c.next;
    auto clash = taken.findClashOrAdd(*next, c.earlier.size());
    int got = clash ? static_cast<int>(*clash) : -1;
    EXPECT_EQ(got, c.want) << "input " << c.next << " after " << c.earlier.front() << ": got "
                           << got << ", want " << c.want;
  }
}

}  // namespace
}  // namespace tollbrook
