// Writes seeds for the milter codec fuzz target: conversations of the test MTA
// as the codec received them, each behind the target's two control bytes.
//   milter_codec_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "daemon/milter/body_handler.h"
#include "tests/milter_client.h"
#include "tests/milter_codec_peer.h"

namespace {

using namespace tollbrook;
using namespace tollbrook::testing;

const char kHeaders[] =
    "Authentication-Results: mx.example; spf=pass smtp.mailfrom=example.org\r\n"
    "Received: from mail.example.org (mail.example.org [192.0.2.25])\r\n"
    "\tby mx.example.net; Thu, 1 Jan 2026 00:00:00 +0000\r\n"
    "From: Alice <alice@example.org>\r\n"
    "To: Bob <bob@example.com>,\r\n  Carol <carol@example.com>\r\n"
    "Subject: seed\r\n";

struct Scenario {
  std::string name;
  uint32_t flags = 0x1FFFFF;
  std::vector<std::string> messages;
  bool abortFirst = false;
  char control = 0;  // the target's flags byte
};

// The bytes the client sent in one conversation.
std::string converse(const Scenario& scenario) {
  auto made = MilterClient::overSocketPair();
  if (!made) return {};
  MilterClient client = std::move(made->first);
  MilterHandlers handlers;
  handlers.body = handleBodyChunkSlot;
  std::string transcript;
  {
    CodecPeer peer(std::move(made->second), handlers, MessageLimits{64 * 1024, 20, 4096},
                   &transcript);
    (void)client.negotiate(0x1FF, scenario.flags);
    (void)client.openSession(MtaSession{});
    if (scenario.abortFirst) {
      MtaMessage message;
      (void)client.envfrom(message);
      (void)client.header("Subject", "aborted", true);
      (void)client.abort();
    }
    for (const std::string& text : scenario.messages) {
      MtaMessage message;
      message.text = text;
      (void)client.sendMessage(message);
    }
    (void)client.quit();
    peer.join();
  }
  return transcript;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: milter_codec_seeds <directory>\n");
    return 2;
  }
  std::string small = std::string(kHeaders) + "\r\nHello\r\n";
  std::string manyHeaders = kHeaders;
  for (int i = 0; i < 25; ++i) manyHeaders += "X-Extra-" + std::to_string(i) + ": x\r\n";
  manyHeaders += "\r\nbody\r\n";
  std::string largeBody = std::string(kHeaders) + "\r\n" + std::string(70000, 'b');
  const std::vector<Scenario> scenarios = {
      {"one_message", 0x1FFFFF, {small}},
      {"no_leading_space", 0, {small}},
      {"two_messages", 0x1FFFFF, {small, small}},
      {"abort_then_message", 0x1FFFFF, {small}, true},
      {"header_limit", 0x1FFFFF, {manyHeaders, small}},
      {"large_body", 0x1FFFFF, {largeBody}},
      {"peer_never_reads", 0x1FFFFF, {small, small}, false, 1},
      {"peer_reads_slowly", 0x1FFFFF, {small, small}, false, 2},
  };
  for (const Scenario& scenario : scenarios) {
    std::string seed = std::string(1, static_cast<char>(scenario.name.size())) + scenario.control +
                       converse(scenario);
    std::string path = std::string(argv[1]) + "/seed_" + scenario.name;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(seed.data(), 1, seed.size(), out) != seed.size()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::fclose(out);
  }
  return 0;
}
