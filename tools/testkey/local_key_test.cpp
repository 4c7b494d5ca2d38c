#include "tools/testkey/local_key.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/base64.h"

namespace tollbrook {
namespace {

std::string fromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

class TempFile {
 public:
  explicit TempFile(std::string_view contents) {
    char pattern[] = "/tmp/testkey_seed_XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    std::ofstream(path_, std::ios::binary) << contents;
    close(fd);
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string armoured(std::string_view base64) {
  return "-----BEGIN ED25519 SEED-----\n" + std::string(base64) + "\n-----END ED25519 SEED-----\n";
}

// RFC 8032 section 7.1, tests 1 and 2: seed and public key.
TEST(Ed25519Seed, DerivesThePublicKeysOfRfc8032) {
  struct Case {
    std::string_view seed, publicKey;
  } cases[] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"},
  };
  for (const Case& c : cases) {
    std::string seed = fromHex(c.seed);
    TempFile file(armoured(*base64Encode(seed)));
    PrivateKey holder;
    auto text = ed25519PublicKeyText(file.path(), holder);
    ASSERT_TRUE(text.has_value()) << errorName(text.error());
    EXPECT_EQ(*text, *base64Encode(fromHex(c.publicKey))) << "seed " << c.seed;
    auto secret = holder.secret();
    EXPECT_EQ(std::string(secret.begin(), secret.end()), seed + fromHex(c.publicKey));
    releasePrivateKey(holder);
    EXPECT_FALSE(holder.hasSecret());
  }
}

TEST(Ed25519Seed, RefusesFilesThatAreNotAnArmouredSeed) {
  std::string seed = fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
  std::string b64 = *base64Encode(seed);
  struct Case {
    std::string_view what;
    std::string contents;
    Error want;
  } cases[] = {
      {"no armour", b64 + "\n", Error::InvalidPem},
      {"no closing line", "-----BEGIN X-----\n" + b64 + "\n", Error::InvalidPem},
      {"31 bytes", armoured(*base64Encode(seed.substr(0, 31))), Error::InvalidSeedLength},
      {"a PKCS #8 document",
       armoured("MC4CAQAwBQYDK2VwBCIEIJ1hsZ3v/VpguoRK9JLsLMREScVpezJpGXA7rAMcrn9g"),
       Error::InvalidSeedLength},
      {"not Base64", armoured("!!!!" + b64.substr(4)), Error::InvalidCharacter},
      {"bad padding", armoured(b64.substr(0, 43)), Error::InvalidPadding},
      {"over 4096 bytes", armoured(b64) + std::string(4096, '#'), Error::FileTooBig},
  };
  for (const Case& c : cases) {
    TempFile file(c.contents);
    PrivateKey holder;
    auto text = ed25519PublicKeyText(file.path(), holder);
    ASSERT_FALSE(text.has_value()) << c.what;
    EXPECT_EQ(text.error(), c.want) << c.what << ": got " << errorName(text.error());
    EXPECT_FALSE(holder.hasSecret()) << c.what;
  }
}

TEST(Ed25519Seed, ToleratesBlanksInsideTheArmour) {
  std::string seed = fromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb");
  std::string b64 = *base64Encode(seed);
  TempFile file("-----BEGIN-----\n " + b64.substr(0, 20) + "\r\n\t" + b64.substr(20) +
                " \r\n-----END-----");
  PrivateKey holder;
  auto text = ed25519PublicKeyText(file.path(), holder);
  ASSERT_TRUE(text.has_value()) << errorName(text.error());
}

TEST(LocalKeyPaths, LimitsAndMissingFiles) {
  PrivateKey holder;
  EXPECT_EQ(ed25519PublicKeyText(std::string(1024, 'a'), holder).error(), Error::NameTooLong);
  EXPECT_EQ(ed25519PublicKeyText("/nonexistent/seed", holder).error(), Error::FileNotFound);
  EXPECT_EQ(rsaPublicKeyText(std::string(4096, 'a')).error(), Error::PathTooLong);
  EXPECT_EQ(rsaPublicKeyText("/nonexistent/key.pem").error(), Error::FileOpenFailed);
  TempFile notPem("hello\n");
  EXPECT_EQ(rsaPublicKeyText(notPem.path()).error(), Error::KeyParseFailed);
}

}  // namespace
}  // namespace tollbrook
