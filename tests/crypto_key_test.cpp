// The key loader against key files made by the openssl command line, and our
// RSA-SHA256 signatures checked by `openssl dgst -verify` and compared with
// the signatures `openssl dgst -sign` makes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/private_key.h"
#include "tests/outside_programs.h"
#include "tests/program_run.h"

namespace tollbrook {
namespace {

const std::string kOpenssl(testing::programPath(testing::OutsideProgram::Openssl));

// Key files made once for the whole suite: key generation is the slow part.
class KeyFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (kOpenssl.empty()) return;
    dir_ = new testing::ScratchDir();
    ASSERT_TRUE(dir_->ok());
    genpkey("rsa2048.pem", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"});
    genpkey("rsa1024.pem", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"});
    genpkey("rsa512.pem", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:512"});
    genpkey("ec.pem", {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
    genpkey("ed25519.pem", {"-algorithm", "ED25519"});
    genpkey("encrypted.pem", {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                              "-aes-128-cbc", "-pass", "pass:secret"});
    run({kOpenssl, "pkey", "-in", path("rsa2048.pem"), "-pubout", "-out", path("rsa2048.pub")});
    run({kOpenssl, "pkey", "-in", path("rsa1024.pem"), "-pubout", "-out", path("rsa1024.pub")});
    ASSERT_TRUE(testing::writeFile(path("garbage.pem"), "not a key\n"));
    ASSERT_TRUE(testing::writeFile(path("public.pem"), testing::readFile(path("rsa2048.pub"))));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Openssl); }

  static std::string path(std::string_view name) { return dir_->file(name); }

  static void run(const std::vector<std::string>& argv) {
    const testing::ProgramRun result = testing::runProgram(argv);
    ASSERT_EQ(result.status, 0) << argv[1] << ": " << result.err;
  }

  static void genpkey(std::string_view name, std::vector<std::string> options) {
    std::vector<std::string> argv = {kOpenssl, "genpkey"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-out");
    argv.push_back(path(name));
    run(argv);
  }

  static void setMode(std::string_view name, mode_t mode) {
    ASSERT_EQ(chmod(path(name).c_str(), mode), 0) << name;
  }

  static inline testing::ScratchDir* dir_ = nullptr;
};

TEST_F(KeyFiles, LoaderChecksInOrder) {
  ASSERT_EQ(symlink(path("rsa2048.pem").c_str(), path("link-to-0600").c_str()), 0);
  ASSERT_EQ(symlink(path("missing.pem").c_str(), path("dangling").c_str()), 0);
  ASSERT_TRUE(testing::writeFile(path("open.pem"), testing::readFile(path("rsa2048.pem"))));
  ASSERT_EQ(symlink(path("open.pem").c_str(), path("link-to-0644").c_str()), 0);

  struct Case {
    std::string name;
    mode_t mode;  // 0: leave as is
    Error want;   // Unexpected: loads
    unsigned bits;
  };
  const Case cases[] = {
      {"rsa2048.pem", 0600, Error::Unexpected, 2048},
      {"rsa1024.pem", 0400, Error::Unexpected, 1024},
      {"rsa1024.pem", 0700, Error::Unexpected, 1024},
      {"rsa1024.pem", 0640, Error::KeyFilePermissionsTooOpen, 0},
      {"rsa1024.pem", 0604, Error::KeyFilePermissionsTooOpen, 0},
      {"rsa1024.pem", 0610, Error::KeyFilePermissionsTooOpen, 0},
      {"rsa1024.pem", 0601, Error::KeyFilePermissionsTooOpen, 0},
      // The mode is checked before the contents are read.
      {"garbage.pem", 0640, Error::KeyFilePermissionsTooOpen, 0},
      {"garbage.pem", 0600, Error::KeyParseFailed, 0},
      {"public.pem", 0600, Error::KeyParseFailed, 0},
      {"encrypted.pem", 0600, Error::KeyParseFailed, 0},
      {"rsa512.pem", 0600, Error::RsaKeyTooSmall, 0},
      {"ec.pem", 0600, Error::NotRsaKey, 0},
      {"ed25519.pem", 0600, Error::NotRsaKey, 0},
      // The status query follows links: the target's mode counts.
      {"link-to-0600", 0, Error::Unexpected, 2048},
      {"open.pem", 0644, Error::KeyFilePermissionsTooOpen, 0},
      {"link-to-0644", 0, Error::KeyFilePermissionsTooOpen, 0},
      {"missing.pem", 0, Error::FileNotFound, 0},
      {"dangling", 0, Error::FileNotFound, 0},
      {"rsa2048.pem/below-a-file", 0, Error::NotDir, 0},
  };
  for (const Case& c : cases) {
    if (c.mode != 0) setMode(c.name, c.mode);
    auto key = loadPrivateKey(path(c.name));
    const std::string label = c.name + " (mode 0" + std::to_string((c.mode >> 6) & 7) +
                              std::to_string((c.mode >> 3) & 7) + std::to_string(c.mode & 7) + ")";
    if (c.want == Error::Unexpected) {
      ASSERT_TRUE(key) << label << ": got " << errorName(key.error()) << ", want a key";
      EXPECT_EQ(rsaKeyBits(*key), c.bits) << label;
      EXPECT_FALSE(key->hasSecret()) << label;
    } else {
      EXPECT_FALSE(key) << label << ": got a key, want " << errorName(c.want);
      if (!key) {
        EXPECT_EQ(key.error(), c.want)
            << label << ": got " << errorName(key.error()) << ", want " << errorName(c.want);
      }
    }
  }
}

TEST_F(KeyFiles, UnreadableFileFailsToOpen) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files of any mode";
  ASSERT_TRUE(testing::writeFile(path("unreadable.pem"), testing::readFile(path("rsa1024.pem"))));
  setMode("unreadable.pem", 0200);
  auto key = loadPrivateKey(path("unreadable.pem"));
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error(), Error::FileOpenFailed);
}

// Deterministic PKCS #1 v1.5: the signature must equal openssl's byte for
// byte, and openssl must accept it for exactly the signed data.
TEST_F(KeyFiles, SignaturesMatchAndVerifyWithOpenssl) {
  std::string large;
  for (int i = 0; i < 20000; ++i) large += "arc-seal:i=" + std::to_string(i) + "; b=\r\n";
  const std::string_view inputs[] = {"", "arc-seal:i=1; cv=none; b=", large};
  for (const char* name : {"rsa2048", "rsa1024"}) {
    const std::string pem = path(std::string(name) + ".pem");
    setMode(std::string(name) + ".pem", 0600);
    auto key = loadPrivateKey(pem);
    ASSERT_TRUE(key) << name << ": " << errorName(key.error());
    for (std::string_view input : inputs) {
      auto signature = signRsaSha256(*key, input);
      ASSERT_TRUE(signature) << name << ": " << errorName(signature.error());
      EXPECT_EQ(signature->size(), rsaKeyBits(*key) / 8) << name;
      ASSERT_TRUE(testing::writeFile(path("data"), input));
      ASSERT_TRUE(testing::writeFile(path("sig"), *signature));
      const testing::ProgramRun verify = testing::runProgram(
          {kOpenssl, "dgst", "-sha256", "-verify", path(std::string(name) + ".pub"), "-signature",
           path("sig"), path("data")});
      EXPECT_EQ(verify.status, 0) << name << ", " << input.size() << " bytes: " << verify.out
                                  << verify.err;
      EXPECT_EQ(verify.out, "Verified OK\n") << name;
      const testing::ProgramRun sign =
          testing::runProgram({kOpenssl, "dgst", "-sha256", "-sign", pem, path("data")});
      ASSERT_EQ(sign.status, 0) << sign.err;
      EXPECT_EQ(sign.out, *signature) << name << ", " << input.size() << " bytes";

      ASSERT_TRUE(testing::writeFile(path("data"), std::string(input) + "x"));
      const testing::ProgramRun tampered = testing::runProgram(
          {kOpenssl, "dgst", "-sha256", "-verify", path(std::string(name) + ".pub"), "-signature",
           path("sig"), path("data")});
      EXPECT_NE(tampered.status, 0) << name << ": a changed input still verified";
    }
  }
}

}  // namespace
}  // namespace tollbrook
