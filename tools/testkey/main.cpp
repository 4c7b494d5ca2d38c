// tollbrook-testkey: checks that the public key published at
// selector._domainkey.domain belongs to a local private key. The DNS record is
// fetched first, so a lookup problem shows before the key file is touched.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/number_syntax.h"
#include "core/tag_list.h"
#include "dns/resolver.h"
#include "tools/common/tool_resolver.h"
#include "tools/common/tool_support.h"
#include "tools/testkey/local_key.h"

namespace tollbrook::tools {
namespace {

constexpr std::string_view kTestkeyToolName = "tollbrook-testkey";

constexpr std::string_view kUsage =
    "Usage: tollbrook-testkey [options]\n"
    "\n"
    "Fetch an ARC DNS key record and verify it matches a local private key.\n"
    "ARC uses the same selector._domainkey.domain DNS format as DKIM.\n"
    "\n"
    "Options:\n"
    "  -s <selector>    ARC selector name (required)\n"
    "  -d <domain>      Domain name (required)\n"
    "  -k <keyfile>     Private key file to compare against (required)\n"
    "  -n <nameserver>  DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>        DNS nameserver port (default: 53)\n"
    "  -h               Show this help\n"
    "\n"
    "Examples:\n"
    "  tollbrook-testkey -s arc2024 -d example.org -k /usr/local/etc/tollbrook/arc.key\n";

constexpr int kStatusPass = 0;
constexpr int kStatusMismatch = 1;

struct Options {
  std::optional<std::string> selector, domain, keyFile;
  std::string_view nameserver = "127.0.0.1";
  uint16_t port = 53;
  bool help = false;
};

[[noreturn]] void cannotRun(std::string_view message) {
  exitWithError(kTestkeyToolName, message);
}

// Output lines go straight to their descriptors, unbuffered, so that the
// interleaving of standard output and standard error is the order written.
void writeOut(std::string_view text) {
  (void)writeStandardOutput(text);
}
void writeErr(std::string_view text) {
  StderrWriter err;
  err.write(text);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  Arguments args(argc, argv);
  while (!args.done()) {
    std::string_view arg = args.take();
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    if (arg != "-s" && arg != "-d" && arg != "-k" && arg != "-n" && arg != "-p") {
      cannotRun("unknown option (use -h for help)");
    }
    std::optional<std::string_view> value = args.takeValue();
    if (!value) cannotRun(missingArgumentMessage(arg));
    if (arg == "-s") options.selector = *value;
    if (arg == "-d") options.domain = *value;
    if (arg == "-k") options.keyFile = *value;
    if (arg == "-n") options.nameserver = *value;
    if (arg == "-p") {
      auto port = parseUnsignedNumber(*value, 65535);
      if (!port) cannotRun("invalid port");
      options.port = static_cast<uint16_t>(*port);
    }
  }
  if (!options.selector) cannotRun("-s <selector> is required");
  if (!options.domain) cannotRun("-d <domain> is required");
  if (!options.keyFile) cannotRun("-k <keyfile> is required");
  return options;
}

struct KeyRecord {
  std::string publicText;  // the p= value, trimmed
  std::string algorithm;   // the k= value, or "rsa"
};

// The first TXT record with a non-empty p=.
std::optional<KeyRecord> firstKeyRecord(const std::vector<DnsRecord>& records) {
  for (const DnsRecord& record : records) {
    if (record.type != kDnsTypeTxt) continue;
    auto p = findTag(record.data, "p");
    if (!p || p->empty()) continue;
    return KeyRecord{std::string(*p), std::string(findTag(record.data, "k").value_or("rsa"))};
  }
  return std::nullopt;
}

// The warnings are written piece by piece, without building a string, so the
// key reading that calls them cannot throw on an allocation.
void warnOpenMode(std::string_view path, uint32_t mode) {
  char octal[16];
  std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode));
  StderrWriter err;
  err.write("warning: ");
  err.write(path);
  err.write(" is mode ");
  err.write(octal);
  err.write(
      ", readable beyond its owner: chmod 600 and chown it to the user the daemon drops to.\n"
      "          tollbrook will refuse to load it as it stands.\n");
}

void warnKeySize(unsigned bits) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%u bits. RFC 8301 3.2 requires at least %u", bits,
                kMinimumSigningKeyBits);
  StderrWriter err;
  err.write("warning: this key is ");
  err.write(numbers);
  err.write(
      ", and a\n"
      "         conformant verifier treats anything signed with it as permanently\n"
      "         failed. Generate a 2048-bit key instead.\n");
}

[[nodiscard]] Result<std::string> localPublicText(const KeyRecord& record, std::string_view path,
                                                  PrivateKey& holder) {
  if (record.algorithm == "ed25519") return ed25519PublicKeyText(path, holder);
  auto report = rsaPublicKeyText(path);
  if (!report) return fail(report.error());
  if (report->openMode) warnOpenMode(path, *report->openMode);
  if (report->bits < kMinimumSigningKeyBits) warnKeySize(report->bits);
  return std::move(report->publicText);
}

int compareKeys(const Options& options, std::string_view name) {
  Resolver resolver = oneServerResolver(kTestkeyToolName, options.nameserver, options.port);
  auto records = resolver.queryTxt(name);
  if (!records) {
    writeErr("DNS lookup failed for " + std::string(name) + "\n");
    cannotRun("cannot resolve DNS TXT record");
  }
  auto record = firstKeyRecord(*records);
  if (!record) {
    writeErr("No key record found at " + std::string(name) + "\n");
    cannotRun("key record not found or revoked (empty p=)");
  }
  PrivateKey holder;  // keeps an Ed25519 key pair until the comparison is done
  auto local = localPublicText(*record, *options.keyFile, holder);
  if (!local) cannotRun("failed to load or parse private key file");

  writeOut("tollbrook-testkey: checking key " + std::string(name) + "\n");
  writeOut("  algorithm: " + record->algorithm + "\n");
  if (record->publicText == *local) {
    writeOut("  result: PASS \u2014 DNS public key matches local private key\n");
    return kStatusPass;
  }
  writeErr("  result: FAIL \u2014 DNS public key does NOT match local private key\n");
  return kStatusMismatch;
}

int run(int argc, char** argv) {
  ignoreSigpipe();
  Options options = parseOptions(argc, argv);
  if (options.help) {
    writeOut(kUsage);
    return kStatusPass;
  }
  std::string name(*options.selector);
  name.append("._domainkey.").append(*options.domain);
  return compareKeys(options, name);
}

}  // namespace
}  // namespace tollbrook::tools

int main(int argc, char** argv) {
  try {
    return tollbrook::tools::run(argc, argv);
  } catch (const std::bad_alloc&) {
    // An unexpected internal failure: the error kind's name, status 1.
    tollbrook::tools::writeErr("error: OutOfMemory\n");
    return 1;
  }
}
