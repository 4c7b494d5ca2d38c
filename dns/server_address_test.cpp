#include "dns/server_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace tollbrook {
namespace {

TEST(ParseServerAddress, AcceptsAddressLiteralsOnly) {
  struct Case {
    std::string text;
    int family;  // 0: refused
  };
  const Case cases[] = {
      {"127.0.0.1", AF_INET},
      {"0.0.0.0", AF_INET},
      {"255.255.255.255", AF_INET},
      {"::1", AF_INET6},
      {"2001:db8::53", AF_INET6},
      {"::ffff:192.0.2.1", AF_INET6},
      {"256.0.0.1", 0},
      {"127.0.0.01", 0},
      {"127.1", 0},
      {"127.0.0.1.", 0},
      {" 127.0.0.1", 0},
      {"localhost", 0},
      {"[::1]", 0},
      {"127.0.0.1:53", 0},
      {"", 0},
      {std::string("127.0.0.1\0x", 11), 0},
      {std::string(300, '1'), 0},
  };
  for (const Case& c : cases) {
    auto address = parseServerAddress(c.text, 5353);
    if (c.family == 0) {
      EXPECT_FALSE(address) << "input " << c.text << ": accepted, want refused";
      if (!address) {
        EXPECT_EQ(address.error(), Error::InvalidAddress);
      }
      continue;
    }
    ASSERT_TRUE(address) << "input " << c.text << ": refused";
    EXPECT_EQ(address->family(), c.family) << c.text;
  }
}

TEST(ParseServerAddress, CarriesPortAndLength) {
  auto v4 = parseServerAddress("192.0.2.7", 5353);
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->length, 16u);
  const auto* sin = reinterpret_cast<const sockaddr_in*>(&v4->storage);
  EXPECT_EQ(ntohs(sin->sin_port), 5353);
  EXPECT_EQ(ntohl(sin->sin_addr.s_addr), 0xc0000207u);

  auto v6 = parseServerAddress("::1", 53);
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->length, 28u);
  EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in6*>(&v6->storage)->sin6_port), 53);
}

}  // namespace
}  // namespace tollbrook
