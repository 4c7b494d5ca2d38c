#include "crypto/private_key.h"

#include <gtest/gtest.h>

#include <openssl/rsa.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testsupport/alloc_failure.h"
#include "testsupport/result_error.h"

namespace tollbrook {
namespace {

using testing::errorOf;

// Builds a key in memory: these tests are about ownership and signing errors,
// the PEM loader is exercised against real key files in tests/.
PrivateKey makeRsaKey(unsigned bits) {
  EvpPkeyPtr pkey(EVP_RSA_gen(bits));
  EXPECT_NE(pkey, nullptr);
  return PrivateKey(std::move(pkey));
}

std::vector<unsigned char> secretBytes() {
  std::vector<unsigned char> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i + 1);
  return bytes;
}

bool allZero(const unsigned char* data, size_t size) {
  return std::all_of(data, data + size, [](unsigned char b) { return b == 0; });
}

TEST(PrivateKey, ReleaseWipesTheSecretArea) {
  PrivateKey key = makeRsaKey(1024);
  const std::vector<unsigned char> bytes = secretBytes();
  ASSERT_TRUE(key.setSecret(bytes));
  ASSERT_TRUE(key.hasSecret());
  const std::span<const unsigned char> secret = key.secret();
  ASSERT_EQ(secret.size(), bytes.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), secret.begin()));
  // The area lives inside the key object, which outlives the release.
  const unsigned char* area = secret.data();
  releasePrivateKey(key);
  EXPECT_TRUE(allZero(area, PrivateKey::kSecretSize));
  EXPECT_TRUE(key.empty());
  EXPECT_FALSE(key.hasSecret());
  EXPECT_TRUE(key.secret().empty());
  releasePrivateKey(key);  // releasing an empty key does nothing
  EXPECT_TRUE(key.empty());
}

TEST(PrivateKey, MovingHandsOverTheKeyAndWipesTheSource) {
  PrivateKey source = makeRsaKey(1024);
  ASSERT_TRUE(source.setSecret(secretBytes()));
  const unsigned char* sourceArea = source.secret().data();
  EVP_PKEY* handle = source.pkey();

  PrivateKey target(std::move(source));
  EXPECT_EQ(target.pkey(), handle);
  EXPECT_EQ(target.secret().size(), 64u);
  EXPECT_EQ(source.pkey(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(source.hasSecret());
  EXPECT_TRUE(allZero(sourceArea, PrivateKey::kSecretSize));

  PrivateKey other = makeRsaKey(1024);
  other = std::move(target);
  EXPECT_EQ(other.pkey(), handle);
  EXPECT_EQ(other.secret()[0], 1);
}

TEST(PrivateKey, SecretLongerThanTheAreaIsRefused) {
  PrivateKey key;
  std::vector<unsigned char> tooLong(PrivateKey::kSecretSize + 1, 7);
  EXPECT_EQ(errorOf(key.setSecret(tooLong)), Error::InvalidArgument);
  EXPECT_FALSE(key.hasSecret());
  std::vector<unsigned char> full(PrivateKey::kSecretSize, 7);
  EXPECT_TRUE(key.setSecret(full));
  EXPECT_EQ(key.secret().size(), PrivateKey::kSecretSize);
  EXPECT_FALSE(key.empty());
}

TEST(RsaKeyBits, CountsOnlyRsaKeys) {
  EXPECT_EQ(rsaKeyBits(static_cast<const EVP_PKEY*>(nullptr)), 0u);
  EXPECT_EQ(rsaKeyBits(PrivateKey()), 0u);
  EXPECT_EQ(rsaKeyBits(makeRsaKey(1024)), 1024u);
  EvpPkeyPtr ed(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  ASSERT_NE(ed, nullptr);
  EXPECT_EQ(rsaKeyBits(ed.get()), 0u);
}

TEST(LoadPrivateKey, PathLengthsAreCheckedBeforeTheFile) {
  struct Case {
    size_t length;
    Error want;
  };
  const Case cases[] = {
      {4096, Error::PathTooLong}, {10000, Error::PathTooLong}, {4095, Error::NameTooLong},
      {1024, Error::NameTooLong}, {1023, Error::FileNotFound},
  };
  for (const Case& c : cases) {
    // The first directory does not exist, so a path under the limits gets
    // as far as the status query and fails there with FileNotFound.
    std::string path = "/nonexistent-tollbrook-dir/";
    path.resize(c.length, 'x');
    auto got = loadPrivateKey(path);
    EXPECT_EQ(errorOf(got), c.want)
        << "path of " << c.length << " bytes: got "
        << (got ? "a key" : std::string(errorName(got.error()))) << ", want " << errorName(c.want);
  }
  EXPECT_EQ(errorOf(loadPrivateKey(std::string_view("/etc/passwd\0x", 13))),
            Error::InvalidArgument);
}

TEST(SignRsaSha256, EmptyKeyFailsToInitialise) {
  EXPECT_EQ(errorOf(signRsaSha256(PrivateKey(), "data")), Error::SignInitFailed);
}

TEST(SignRsaSha256, DeterministicAndAsLongAsTheModulus) {
  const PrivateKey key = makeRsaKey(2048);
  auto first = signRsaSha256(key, "input");
  auto second = signRsaSha256(key, "input");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 256u);
  EXPECT_EQ(*first, *second);
  EXPECT_NE(*first, signRsaSha256(key, "other").value());
}

TEST(SignRsaSha256, AllocationFailureIsOutOfMemory) {
  const PrivateKey key = makeRsaKey(1024);
  testing::forEachAllocationFailure([&] {
    auto got = signRsaSha256(key, "input");
    if (got) {
      EXPECT_EQ(got->size(), 128u);
    } else {
      EXPECT_EQ(got.error(), Error::OutOfMemory);
    }
  });
}

}  // namespace
}  // namespace tollbrook
