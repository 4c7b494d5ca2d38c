// milter-soak: keeps a milter busy for a while, as a few MTAs at once would
// (through the test MTA of tests/milter_client.*), for scripts/soak.sh. It
// checks what the soak needs (every message answered whole, whatever fails
// underneath); bench/milter_load.cpp is the one that measures. Each
// connection thread sends the message files in turn, a new connection every
// 20 messages or after a failure. A refused or closed connection is counted,
// not fatal: the soak stops and restarts things underneath. What is fatal is
// a message left half modified: header changes without a final reply.
//
//   milter-soak -p port [-c connections] [-s seconds] <message-file>...
//
// Prints "sent N answered N tempfail N failed N half-modified N" and exits 0
// when at least one message was answered and none was half modified. Not
// installed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/milter_client.h"

namespace tollbrook::testing {
namespace {

struct Options {
  uint16_t port = 0;
  int connections = 4;
  int seconds = 10;
  std::vector<std::string> messages;
};

struct Counts {
  std::atomic<long> sent{0}, answered{0}, tempfail{0}, failed{0}, halfModified{0};
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "-p" || arg == "-c" || arg == "-s") && i + 1 < argc) {
      const long value = std::strtol(argv[++i], nullptr, 10);
      if (value <= 0 || value > 65535) return std::nullopt;
      if (arg == "-p") options.port = static_cast<uint16_t>(value);
      if (arg == "-c") options.connections = static_cast<int>(value);
      if (arg == "-s") options.seconds = static_cast<int>(value);
    } else if (!arg.starts_with('-')) {
      std::ifstream file(std::string(arg), std::ios::binary);
      if (!file) return std::nullopt;
      std::ostringstream text;
      text << file.rdbuf();
      options.messages.push_back(text.str());
    } else {
      return std::nullopt;
    }
  }
  if (options.port == 0 || options.messages.empty()) return std::nullopt;
  return options;
}

std::optional<MilterClient> openSession(uint16_t port) {
  Result<MilterClient> client = MilterClient::connectTcp(port);
  if (!client) return std::nullopt;
  client->setTimeoutMs(30000);
  if (!client->negotiate()) return std::nullopt;
  if (client->openSession(MtaSession{}).value_or('?') != 'c') return std::nullopt;
  return std::move(*client);
}

// The end of message, packet by packet, so that changes followed by a closed
// connection show as what they are.
void endMessage(MilterClient& client, Counts& counts) {
  bool changed = false;
  for (;;) {
    Result<MilterReply> reply = client.readReply();
    if (!reply) {
      ++(changed ? counts.halfModified : counts.failed);
      return;
    }
    if (reply->code == 'i' || reply->code == 'h' || reply->code == 'm') {
      changed = true;
      continue;
    }
    ++(reply->code == 't' ? counts.tempfail : counts.answered);
    return;
  }
}

// Everything up to the end of message; false when the milter stopped it.
bool sendUpToTheEnd(MilterClient& client, const MtaMessage& message) {
  if (client.envfrom(message).value_or('?') != 'c') return false;
  if (client.envrcpt(message.recipients[0]).value_or('?') != 'c') return false;
  const size_t split = message.text.find("\r\n\r\n");
  const std::string head = message.text.substr(0, split == std::string::npos ? 0 : split + 2);
  size_t at = 0;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    while (end + 2 < head.size() && (head[end + 2] == ' ' || head[end + 2] == '\t')) {
      end = head.find("\r\n", end + 2);
    }
    const std::string field = head.substr(at, end - at);
    const size_t colon = field.find(':');
    std::string value = field.substr(colon + 1);
    const bool space = !value.empty() && value.front() == ' ';
    if (space) value.erase(0, 1);
    if (client.header(field.substr(0, colon), value, space).value_or('?') != 'c') {
      return false;
    }
    at = end + 2;
  }
  if (client.endOfHeaders().value_or('?') != 'c') return false;
  const std::string body = split == std::string::npos ? "" : message.text.substr(split + 4);
  if (!body.empty() && client.body(body).value_or('?') != 'c') return false;
  return static_cast<bool>(client.sendPacket('E', ""));
}

void connectionLoop(const Options& options, int index, Counts& counts,
                    std::chrono::steady_clock::time_point until) {
  size_t next = static_cast<size_t>(index);
  while (std::chrono::steady_clock::now() < until) {
    std::optional<MilterClient> client = openSession(options.port);
    if (!client) {
      ++counts.failed;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    for (int i = 0; i < 20 && std::chrono::steady_clock::now() < until; ++i) {
      MtaMessage message;
      message.queueId = "L" + std::to_string(index) + "x" + std::to_string(counts.sent++);
      message.text = options.messages[next++ % options.messages.size()];
      if (!sendUpToTheEnd(*client, message)) {
        ++counts.failed;
        break;
      }
      endMessage(*client, counts);
    }
    (void)client->quit();
  }
}

}  // namespace
}  // namespace tollbrook::testing

int main(int argc, char** argv) {
  using namespace tollbrook::testing;
  std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: milter-soak -p port [-c connections] [-s seconds] <message-file>...\n");
    return 2;
  }
  Counts counts;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(options->seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < options->connections; ++i) {
    threads.emplace_back([&, i] { connectionLoop(*options, i, counts, until); });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("sent %ld answered %ld tempfail %ld failed %ld half-modified %ld\n",
              counts.sent.load(), counts.answered.load(), counts.tempfail.load(),
              counts.failed.load(), counts.halfModified.load());
  return counts.answered > 0 && counts.halfModified == 0 ? 0 : 1;
}
