// Chain validation speed: a 3-set chain on a 10 KiB message, validated with
// its keys already in the resolver's cache, beside the bare crypto of the
// same work measured in the same run (four RSA-2048 verifications and the
// SHA-256 of the canonical body, as straight OpenSSL calls). Run by hand:
//   build/bench/validate_bench [seconds-per-round] [rounds]
// Prints validations per second on one core (best round) for both, and the
// share of the floor reached.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "arc/arc_set_builder.h"
#include "arc/public_key_cache.h"
#include "arc/validate_chain.h"
#include "bench/crypto_floor_parts.h"
#include "core/base64.h"
#include "crypto/canonicalization.h"
#include "dns/resolver.h"
#include "tests/dns_test_server.h"

namespace {

using namespace tollbrook;
using namespace tollbrook::bench;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "validate_bench: %s\n", what);
  std::exit(1);
}

std::string body10k() {
  std::mt19937 random(11);
  std::string body;
  while (body.size() < 10 * 1024) {
    std::string line;
    const size_t width = 40 + random() % 37;
    while (line.size() < width) {
      for (size_t i = 1 + random() % 9; i > 0; --i) line += static_cast<char>('a' + random() % 26);
      line += ' ';
    }
    line.back() = '\r';
    body += line + "\n";
  }
  return body;
}

// A message and the chain three hops sealed on it with our sealer.
struct Chain {
  std::deque<std::string> texts;  // stable storage for the field views
  std::vector<HeaderField> headers;
  std::string body = body10k();

  void field(std::string_view name, std::string value, bool top) {
    texts.emplace_back(value);
    HeaderField f{name, texts.back(), true};
    if (top) {
      headers.insert(headers.begin(), f);
    } else {
      headers.push_back(f);
    }
  }
};

Chain makeChain(const PrivateKey& key) {
  Chain chain;
  chain.field("Received", "from a.example by b.example; Thu, 1 Jan 2026 00:00:00 +0000", false);
  chain.field("From", "Alice <alice@example.org>", false);
  chain.field("To", "Bob <bob@example.com>", false);
  chain.field("Subject", "A message of ten kilobytes", false);
  chain.field("Date", "Thu, 1 Jan 2026 00:00:00 +0000", false);
  chain.field("Message-ID", "<bench@example.org>", false);
  const std::string_view methods[] = {"spf"};
  for (uint32_t hop = 1; hop <= 3; ++hop) {
    std::vector<ArcSet> sets = collectArcSets(chain.headers).value();
    SealRequest request;
    request.domain = "example.net";
    request.selector = "bench";
    request.signedHeaders = kDefaultSignedHeaders;
    request.authservId = "mx.example.net";
    request.localMethods = methods;
    request.key = &key;
    request.sets = sets;
    request.timestamp = 1767225600;
    request.instance = hop;
    request.cv = hop == 1 ? Cv::None : Cv::Pass;
    auto built = buildArcSet(MessageToSeal{chain.headers, chain.body, false}, request);
    if (!built) die("sealing failed");
    chain.field("ARC-Authentication-Results", built->aar, true);
    chain.field("ARC-Message-Signature", built->ams, true);
    chain.field("ARC-Seal", built->seal, true);
  }
  return chain;
}

// Runs `work` for about `seconds` and returns how many times per second it ran.
template <typename Work>
double perSecond(double seconds, Work work) {
  auto start = std::chrono::steady_clock::now();
  long runs = 0;
  double elapsed = 0;
  do {
    for (int i = 0; i < 20; ++i) work();
    runs += 20;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (elapsed < seconds);
  return static_cast<double>(runs) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

  PrivateKey key(EvpPkeyPtr(EVP_RSA_gen(2048)));
  Chain chain = makeChain(key);
  std::vector<ArcSet> sets = collectArcSets(chain.headers).value();
  const std::string pValue = [&] {
    int length = i2d_PUBKEY(key.pkey(), nullptr);
    std::string der(static_cast<size_t>(length), '\0');
    unsigned char* cursor = reinterpret_cast<unsigned char*>(der.data());
    i2d_PUBKEY(key.pkey(), &cursor);
    return base64Encode(der).value();
  }();

  // The keys come from a real resolver whose cache is warm after the first run.
  auto server = testing::DnsTestServer::start("127.0.0.1");
  if (!server) die("cannot start the DNS test server");
  server->setHandler(testing::answerTxt({"v=DKIM1; k=rsa; p=" + pValue}, 3600));
  ResolverSettings settings;
  settings.nameservers = {"127.0.0.1"};
  settings.port = server->port();
  Resolver resolver = Resolver::create(settings).value();
  PublicKeyCache keys;
  ValidationOptions options{resolver, keys, 20000, 1024, 3};
  ChainResult first = validateChain(options, sets, chain.headers, chain.body);
  if (!first.passed()) die("the chain does not validate");

  // The same with every key decoded afresh, to show what the key cache saves.
  PublicKeyCache noKeys(0);
  ValidationOptions uncached{resolver, noKeys, 20000, 1024, 3};

  std::vector<SignedInput> inputs = signedInputs(chain.headers, sets);
  EvpPkeyPtr publicKey = decodePublicKey(pValue).value();
  const std::string canonicalBody = [&] {
    BodyCanonicalizer canon(CanonicalizationMode::Relaxed);
    if (!canon.update(chain.body)) die("canonicalization failed");
    return canon.finish().value();
  }();

  // Rounds alternate between the three measurements, so a change in the
  // machine's load affects them alike; the best round of each counts.
  double validations = 0, decoding = 0, floor = 0;
  for (int round = 0; round < rounds; ++round) {
    validations = std::max(validations, perSecond(seconds, [&] {
                             if (!validateChain(options, sets, chain.headers, chain.body).passed())
                               die("validation failed");
                           }));
    floor = std::max(floor, perSecond(seconds, [&] {
                       sha256OrDie(canonicalBody);
                       for (const SignedInput& s : inputs) verifyOrDie(publicKey.get(), s);
                     }));
    decoding = std::max(decoding, perSecond(seconds / 4, [&] {
                          if (!validateChain(uncached, sets, chain.headers, chain.body).passed())
                            die("validation failed");
                        }));
  }

  std::printf("validateChain, 3 sets, 10 KiB body, keys cached: %8.0f validations/s\n",
              validations);
  std::printf("the same, decoding every key (no key cache): %8.0f validations/s\n", decoding);
  std::printf("crypto floor (4 RSA-2048 verifies + body SHA-256): %8.0f per second\n", floor);
  std::printf("share of the floor: %.0f%%\n", 100.0 * validations / floor);
  std::printf("DNS queries sent: %d (all others answered from the cache)\n", server->udpQueries());
  return 0;
}
