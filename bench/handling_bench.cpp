// End-of-message handling on one worker: a message carrying a 3-set chain
// that dkimpy sealed over a 10 KiB body, its keys served by the DNS test
// server and cached after the first message, handled in mode verify and in
// mode both (verdict plus a new set). Beside each, the crypto floor of the
// same work measured in the same run, as straight OpenSSL calls: the four
// RSA-2048 verifications (newest AMS, three seals) and the SHA-256 of the
// canonical body, plus, for both, the two RSA-2048 signatures of the new set.
// The handler is called directly on a connection holding the message (no
// socket), on this thread, and measured in thread CPU time; the modes and
// their floors run in turns, in slices, and the best slice of each counts.
// Log lines below warning are off, so the result line costs one comparison.
// Run by hand (needs python3 with dkimpy):
//   build/bench/handling_bench [seconds]
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arc/arc_set.h"
#include "arc/public_key_cache.h"
#include "arc/validate_chain.h"
#include "arc/validation_context.h"
#include "bench/crypto_floor_parts.h"
#include "core/base64.h"
#include "core/log.h"
#include "core/message.h"
#include "crypto/canonicalization.h"
#include "crypto/signing_input.h"
#include "daemon/handling/end_of_message.h"
#include "daemon/milter/replies.h"
#include "tests/dns_test_server.h"
#include "tests/program_run.h"

namespace {

using namespace tollbrook;
using namespace tollbrook::bench;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "handling_bench: %s\n", what);
  std::exit(1);
}

std::string tenKibBody() {
  std::string body;
  for (int n = 1; body.size() < 10 * 1024; ++n) {
    body += "Line " + std::to_string(n) +
            " of a message body of plain prose, long enough to look like mail.\r\n";
  }
  return body;
}

// The message sealed three times by dkimpy (hop k: d=hopk.example, s=s),
// all with the key in `pem`.
std::string dkimpyChain(const testing::ScratchDir& dir, const std::string& pem) {
  std::string message =
      "From: Alice <alice@example.org>\r\nTo: Bob <bob@example.com>\r\n"
      "Subject: A message of ten kibibytes\r\nDate: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
      "Message-ID: <bench@example.org>\r\n\r\n" +
      tenKibBody();
  for (int hop = 1; hop <= 3; ++hop) {
    const std::string domain = "hop" + std::to_string(hop) + ".example";
    message = "Authentication-Results: " + domain + "; spf=pass" + (hop > 1 ? "; arc=pass" : "") +
              "\r\n" + message;
    testing::ProgramRun sealed = testing::runProgramWithInput(
        dir,
        {"/usr/bin/python3", std::string(TOLLBROOK_SOURCE_DIR) + "/tests/arc_oracle.py", "seal",
         pem, "s", domain, domain},
        message);
    if (sealed.status != 0) die("dkimpy could not seal (python3 with dkimpy missing?)");
    message = sealed.out;
  }
  return message;
}

// A connection holding the message as the codec leaves it at end of message.
struct LoadedMessage {
  Message parsed;
  MilterConnection connection;
  std::vector<HeaderField> original;

  explicit LoadedMessage(const std::string& text) : parsed(parseMessage(text).value()) {
    connection.negotiatedActions = kSmfifAddHdrs | kSmfifChgHdrs;
    connection.negotiatedProtocolFlags = kSmfipHdrLeadSpc;
    connection.message.headers = parsed.headers;
    connection.message.headers.reserve(parsed.headers.size() + 4);
    connection.message.body = parsed.body;
    original = parsed.headers;
  }
  // Back to the message as received, keeping every buffer's capacity.
  void restore() {
    connection.message.headers.assign(original.begin(), original.end());
    markRepliesWritten(connection, unwrittenReplies(connection).size());
  }
};

struct Settings {
  std::unique_ptr<RuntimeConfig> config;
  const SealIdentity* identity = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
  logSettings().level = static_cast<uint8_t>(Severity::Warning);

  testing::ScratchDir dir;
  const std::string pem = dir.file("hops.pem");
  testing::ProgramRun made = testing::runTestScript("arc_oracle.py", {"keygen", "2048", pem});
  if (made.status != 0) die("cannot make the hops' key (python3 with dkimpy missing?)");
  const std::string pValue = made.out.substr(0, made.out.find('\n'));
  const std::string text = dkimpyChain(dir, pem);

  auto server = testing::DnsTestServer::start("127.0.0.1");
  if (!server) die("cannot start the DNS test server");
  server->setHandler(testing::answerTxt({"v=DKIM1; k=rsa; p=" + pValue}, 3600));

  DaemonConfig daemonConfig;
  daemonConfig.authservId = "mx.bench.example";
  daemonConfig.dnsNameservers = {"127.0.0.1"};
  Settings settings{RuntimeConfig::copyFrom(daemonConfig).value(), nullptr};
  settings.config->dnsPort = server->port();
  std::unique_ptr<SealIdentity> identity =
      makeSealIdentity("bench.example", "sel", PrivateKey(EvpPkeyPtr(EVP_RSA_gen(2048)))).value();
  settings.identity = identity.get();

  HandlingStartup startup;
  startup.listenerModes = {ListenerMode::Verify, ListenerMode::Both};
  SettingsSource source{
      &settings,
      [](void* c) -> const RuntimeConfig* { return static_cast<Settings*>(c)->config.get(); },
      [](void* c) { return static_cast<Settings*>(c)->identity; }};
  std::unique_ptr<WorkerHandling> handling = WorkerHandling::create(startup, source).value();
  handling->beginPass();

  LoadedMessage message(text);
  auto handle = [&](uint64_t listener, char want) {
    message.restore();
    message.connection.listenerIndex = listener;
    if (handling->endOfMessage(message.connection) != want) die("unexpected reply");
  };
  handle(0, 'c');  // fills the caches
  handle(1, 'a');

  // The floor's inputs.
  std::vector<ArcSet> sets = collectArcSets(message.parsed.headers).value();
  std::vector<SignedInput> inputs = signedInputs(message.parsed.headers, sets);
  EvpPkeyPtr publicKey = decodePublicKey(pValue).value();
  BodyCanonicalizer canon(CanonicalizationMode::Relaxed);
  if (!canon.update(message.parsed.body)) die("canonicalization failed");
  const std::string canonicalBody = canon.finish().value();
  const std::string amsInput = inputs.front().input;  // of the size the new set signs
  const std::string sealInput = inputs.back().input;

  // validateChain alone on the same message, to tell the handling's own cost
  // from the validation's.
  ValidationContext alone =
      ValidationContext::create(settings.config->resolverSettings().value()).value();
  ValidationOptions aloneOptions = alone.options();
  aloneOptions.clock = monotonicMilliseconds;
  auto validateAlone = [&] {
    if (!validateChain(aloneOptions, sets, message.parsed.headers, message.parsed.body).passed()) {
      die("validation failed");
    }
  };
  validateAlone();

  auto verifyFloor = [&] {
    sha256OrDie(canonicalBody);
    for (const SignedInput& s : inputs) verifyOrDie(publicKey.get(), s);
  };
  double verify = 1e9, both = 1e9, floorVerify = 1e9, floorBoth = 1e9, validation = 1e9;
  constexpr int kSlices = 8;
  const double slice = seconds / (5 * kSlices);
  for (int i = 0; i < kSlices; ++i) {
    validation = std::min(validation, cpuMicroseconds(slice, validateAlone));
    verify = std::min(verify, cpuMicroseconds(slice, [&] { handle(0, 'c'); }));
    floorVerify = std::min(floorVerify, cpuMicroseconds(slice, verifyFloor));
    both = std::min(both, cpuMicroseconds(slice, [&] { handle(1, 'a'); }));
    floorBoth = std::min(floorBoth, cpuMicroseconds(slice, [&] {
                           verifyFloor();
                           signOrDie(identity->key.pkey(), amsInput);
                           signOrDie(identity->key.pkey(), sealInput);
                         }));
  }
  std::printf("verify, 3 sets, 10 KiB body, keys cached: %7.0f us CPU per message\n", verify);
  std::printf("  floor (4 RSA-2048 verifies + body SHA-256): %7.0f us  -> %.3f x the floor\n",
              floorVerify, verify / floorVerify);
  std::printf("  validateChain alone on the same message: %7.0f us  -> %.3f x the floor\n",
              validation, validation / floorVerify);
  std::printf("both, the same plus a new set:            %7.0f us CPU per message\n", both);
  std::printf("  floor (the above + 2 RSA-2048 signs):      %7.0f us  -> %.3f x the floor\n",
              floorBoth, both / floorBoth);
  std::printf("DNS queries sent: %d\n", server->udpQueries());
  return 0;
}
