// tollbrook-testkey run as a user runs it, against key records served by
// dnsmasq (and, for two records at one name, the scriptable DNS server). The
// published keys come from the openssl command line, so a PASS shows that our
// public text is exactly what openssl derives, for RSA and for Ed25519 seeds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/dns_dnsmasq.h"
#include "tests/dns_test_server.h"
#include "tests/outside_programs.h"
#include "tests/seal_test_support.h"

namespace tollbrook::testing {
namespace {

constexpr std::string_view kPass =
    "  result: PASS \xE2\x80\x94 DNS public key matches local private key\n";
constexpr std::string_view kFail =
    "  result: FAIL \xE2\x80\x94 DNS public key does NOT match local private key\n";

constexpr std::string_view kUsage =
    R"(Usage: tollbrook-testkey [options]

Fetch an ARC DNS key record and verify it matches a local private key.
ARC uses the same selector._domainkey.domain DNS format as DKIM.

Options:
  -s <selector>    ARC selector name (required)
  -d <domain>      Domain name (required)
  -k <keyfile>     Private key file to compare against (required)
  -n <nameserver>  DNS nameserver (default: 127.0.0.1)
  -p <port>        DNS nameserver port (default: 53)
  -h               Show this help

Examples:
)";

struct Keys {
  ScratchDir dir;
  std::string rsa, rsaOpen, rsaSmall, ed25519;                // key files
  std::string rsaPublic, smallPublic, otherPublic, edPublic;  // p= texts
  bool ok = false;

  Keys() {
    rsa = generateRsa("rsa.pem", "2048");
    rsaSmall = generateRsa("small.pem", "512");
    std::string other = generateRsa("other.pem", "2048");
    rsaPublic = base64(openssl({"pkey", "-in", rsa, "-pubout", "-outform", "DER"}));
    smallPublic = base64(openssl({"pkey", "-in", rsaSmall, "-pubout", "-outform", "DER"}));
    otherPublic = base64(openssl({"pkey", "-in", other, "-pubout", "-outform", "DER"}));
    rsaOpen = dir.write("open.pem", readFile(rsa));
    chmod(rsaOpen.c_str(), 0644);
    makeEd25519();
    ok = !rsaPublic.empty() && !smallPublic.empty() && !otherPublic.empty() && !edPublic.empty();
  }

  std::string generateRsa(const std::string& name, const std::string& bits) {
    std::string path = dir.file(name);
    openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:" + bits, "-out", path});
    chmod(path.c_str(), 0600);
    return path;
  }

  // openssl writes Ed25519 keys as PKCS #8; the tool reads the raw 32-byte
  // seed in PEM armour. Both the seed and the public key are the last 32
  // bytes of openssl's DER forms.
  void makeEd25519() {
    std::string pkcs8 = dir.file("ed.pkcs8.pem");
    openssl({"genpkey", "-algorithm", "ed25519", "-out", pkcs8});
    std::string priv = openssl({"pkey", "-in", pkcs8, "-outform", "DER"});
    std::string pub = openssl({"pkey", "-in", pkcs8, "-pubout", "-outform", "DER"});
    if (priv.size() < 32 || pub.size() < 32) return;
    ed25519 = dir.write("ed.seed.pem", "-----BEGIN ED25519 SEED-----\n" +
                                           base64(priv.substr(priv.size() - 32)) +
                                           "\n-----END ED25519 SEED-----\n");
    chmod(ed25519.c_str(), 0600);
    edPublic = base64(pub.substr(pub.size() - 32));
  }
};

class TestkeyCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!missingPrograms({OutsideProgram::Openssl, OutsideProgram::Dnsmasq}).empty()) return;
    keys_ = new Keys();
    if (!keys_->ok) return;
    std::map<std::string, std::string> records = {
        {"rsa._domainkey.tk.example", "v=DKIM1; k=rsa; p=" + keys_->rsaPublic},
        {"nok._domainkey.tk.example", "v=DKIM1; p=" + keys_->rsaPublic},
        {"small._domainkey.tk.example", "v=DKIM1; p=" + keys_->smallPublic},
        {"other._domainkey.tk.example", "v=DKIM1; p=" + keys_->otherPublic},
        {"ed._domainkey.tk.example", "v=DKIM1; k=ed25519; p=" + keys_->edPublic},
        {"revoked._domainkey.tk.example", "v=DKIM1; k=rsa; p="},
        {"split._domainkey.tk.example",
         "v=DKIM1; p=" + keys_->rsaPublic.substr(0, 100) + " " + keys_->rsaPublic.substr(100)},
    };
    dns_ = new DnsmasqServer(dnsmasqRecords(records));
  }
  static void TearDownTestSuite() {
    delete dns_;
    delete keys_;
  }
  void SetUp() override {
    TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Openssl, OutsideProgram::Dnsmasq);
    ASSERT_TRUE(keys_->ok) << "openssl could not make the keys";
    ASSERT_TRUE(dns_->running()) << dns_->failure();
  }

  static ProgramRun testkey(std::vector<std::string> args, uint16_t port = 0) {
    std::vector<std::string> argv = {toolPath("tollbrook-testkey"), "-n", "127.0.0.1", "-p",
                                     std::to_string(port != 0 ? port : dns_->port())};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
  }
  static std::string header(const std::string& selector, const std::string& algorithm) {
    return "tollbrook-testkey: checking key " + selector +
           "._domainkey.tk.example\n  algorithm: " + algorithm + "\n";
  }

  static Keys* keys_;
  static DnsmasqServer* dns_;
};

Keys* TestkeyCli::keys_ = nullptr;
DnsmasqServer* TestkeyCli::dns_ = nullptr;

TEST_F(TestkeyCli, ComparesThePublishedKeyWithTheLocalOne) {
  const std::string sizeWarning =
      "warning: this key is 512 bits. RFC 8301 3.2 requires at least 1024, and a\n"
      "         conformant verifier treats anything signed with it as permanently\n"
      "         failed. Generate a 2048-bit key instead.\n";
  const std::string modeWarning =
      "warning: " + keys_->rsaOpen +
      " is mode 644, readable beyond its owner: chmod 600 and chown it to the user the "
      "daemon drops to.\n          tollbrook will refuse to load it as it stands.\n";
  struct Case {
    std::string what, selector, key;
    int wantStatus;
    std::string wantOut, wantErr;
  } cases[] = {
      {"RSA match", "rsa", keys_->rsa, 0, header("rsa", "rsa") + std::string(kPass), ""},
      {"no k= means RSA", "nok", keys_->rsa, 0, header("nok", "rsa") + std::string(kPass), ""},
      {"Ed25519 match", "ed", keys_->ed25519, 0, header("ed", "ed25519") + std::string(kPass), ""},
      {"another key", "other", keys_->rsa, 1, header("other", "rsa"), std::string(kFail)},
      {"a blank inside p=", "split", keys_->rsa, 1, header("split", "rsa"), std::string(kFail)},
      {"open mode warns, still PASS", "rsa", keys_->rsaOpen, 0,
       header("rsa", "rsa") + std::string(kPass), modeWarning},
      {"small key warns, still compared", "small", keys_->rsaSmall, 0,
       header("small", "rsa") + std::string(kPass), sizeWarning},
      {"Ed25519 record, RSA file", "ed", keys_->rsa, 2, "",
       "tollbrook-testkey: failed to load or parse private key file\n"},
      {"RSA record, Ed25519 seed file", "rsa", keys_->ed25519, 2, "",
       "tollbrook-testkey: failed to load or parse private key file\n"},
      {"revoked key", "revoked", keys_->rsa, 2, "",
       "No key record found at revoked._domainkey.tk.example\n"
       "tollbrook-testkey: key record not found or revoked (empty p=)\n"},
      {"no such record, key file never opened", "missing", "/nonexistent/key.pem", 2, "",
       "DNS lookup failed for missing._domainkey.tk.example\n"
       "tollbrook-testkey: cannot resolve DNS TXT record\n"},
  };
  for (const Case& c : cases) {
    ProgramRun run = testkey({"-s", c.selector, "-d", "tk.example", "-k", c.key});
    EXPECT_EQ(run.status, c.wantStatus) << c.what << ": " << run.err;
    EXPECT_EQ(run.out, c.wantOut) << c.what;
    EXPECT_EQ(run.err, c.wantErr) << c.what;
  }
}

TEST_F(TestkeyCli, UsesTheFirstRecordWithAKey) {
  std::unique_ptr<DnsTestServer> server = DnsTestServer::start("127.0.0.1");
  ASSERT_TRUE(server);
  server->setHandler(answerTxt({"v=DKIM1; k=rsa; p=", "v=DKIM1; k=rsa; p=" + keys_->rsaPublic}));
  ProgramRun run = testkey({"-s", "two", "-d", "tk.example", "-k", keys_->rsa}, server->port());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "tollbrook-testkey: checking key two._domainkey.tk.example\n"
            "  algorithm: rsa\n" +
                std::string(kPass));
}

TEST_F(TestkeyCli, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string wantErr;
  } cases[] = {
      {{"-s", "a", "-d", "b", "-k", "c", "extra"}, "unknown option (use -h for help)"},
      {{"-x"}, "unknown option (use -h for help)"},
      {{"-s"}, "missing argument for -s"},
      {{"-s", "a", "-k"}, "missing argument for -k"},
      {{"-s", "a", "-p", "65536"}, "invalid port"},
      {{"-d", "b", "-k", "c"}, "-s <selector> is required"},
      {{"-s", "a", "-k", "c"}, "-d <domain> is required"},
      {{"-s", "a", "-d", "b"}, "-k <keyfile> is required"},
      {{"-s", "a", "-d", "b", "-k", "c", "-n", "ns.example"},
       "DNS resolver: invalid nameserver address"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {toolPath("tollbrook-testkey")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProgramRun run = runProgram(argv);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(c.args);
    EXPECT_EQ(run.err, "tollbrook-testkey: " + c.wantErr + "\n")
        << ::testing::PrintToString(c.args);
  }
  ProgramRun help = runProgram({toolPath("tollbrook-testkey"), "-s", "a", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with(kUsage)) << help.out;
  EXPECT_EQ(help.out.find('\n', kUsage.size()), help.out.size() - 1) << "one example line";
}

}  // namespace
}  // namespace tollbrook::testing
