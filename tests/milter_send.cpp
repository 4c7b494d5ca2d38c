// milter-send: sends one message file to a running milter as Postfix would
// (through the test MTA of tests/milter_client.*) and prints what the milter
// asked the MTA to change, then the reply. For trying the daemon by hand
// without a mail server; see scripts/send-sample.sh. Not installed.
//
//   milter-send [-p port | -u unix-path] [-d] <message-file>
//
// -p: TCP port on 127.0.0.1 (default 8895); -u: a unix socket instead;
// -d: also print the message as the MTA would deliver it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "tests/milter_client.h"

namespace tollbrook::testing {
namespace {

struct Options {
  uint16_t port = 8895;
  std::string unixPath;
  bool printDelivered = false;
  std::string messageFile;
};

int usage() {
  std::cerr << "usage: milter-send [-p port | -u unix-path] [-d] <message-file>\n";
  return 2;
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "-p" || arg == "-u") && i + 1 < argc) {
      if (arg == "-p") {
        const long port = std::strtol(argv[++i], nullptr, 10);
        if (port <= 0 || port > 65535) return std::nullopt;
        options.port = static_cast<uint16_t>(port);
      } else {
        options.unixPath = argv[++i];
      }
    } else if (arg == "-d") {
      options.printDelivered = true;
    } else if (!arg.starts_with('-') && options.messageFile.empty()) {
      options.messageFile = arg;
    } else {
      return std::nullopt;
    }
  }
  if (options.messageFile.empty()) return std::nullopt;
  return options;
}

std::string replyName(char code) {
  switch (code) {
    case 'c':
      return "continue";
    case 'a':
      return "accept";
    case 't':
      return "tempfail";
    case 'r':
      return "reject";
    case 'd':
      return "discard";
    default:
      return std::string("code '") + code + "'";
  }
}

// One change as an administrator reads it; folds shown as they would be
// written into the message.
std::string describe(const MilterReply& reply) {
  std::optional<HeaderChange> change = decodeHeaderChange(reply);
  if (!change)
    return std::string("reply '") + reply.code + "' (" + std::to_string(reply.data.size()) +
           " bytes)";
  std::string value = change->value;
  for (size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + 3)) {
    value.replace(at, 1, "\n  ");
  }
  switch (change->code) {
    case 'i':
      return "insert at " + std::to_string(change->index) + ": " + change->name + ":" + value;
    case 'h':
      return "add at the end: " + change->name + ":" + value;
    case 'm':
      if (change->value.empty()) {
        return "delete " + change->name + " #" + std::to_string(change->index);
      }
      return "change " + change->name + " #" + std::to_string(change->index) + " to:" + value;
    default:
      return "unknown change";
  }
}

int run(const Options& options) {
  std::ifstream file(options.messageFile, std::ios::binary);
  if (!file) {
    std::cerr << "milter-send: cannot read " << options.messageFile << "\n";
    return 1;
  }
  std::ostringstream text;
  text << file.rdbuf();
  MtaMessage message;
  message.text = text.str();

  Result<MilterClient> client = options.unixPath.empty()
                                    ? MilterClient::connectTcp(options.port)
                                    : MilterClient::connectUnix(options.unixPath);
  if (!client) {
    std::cerr << "milter-send: cannot connect: " << errorName(client.error())
              << " (is the daemon running?)\n";
    return 1;
  }
  Result<Negotiated> negotiated = client->negotiate();
  if (!negotiated) {
    std::cerr << "milter-send: negotiation failed: " << errorName(negotiated.error()) << "\n";
    return 1;
  }
  Result<char> opened = client->openSession(MtaSession{});
  if (!opened) {
    std::cerr << "milter-send: the milter did not take the session: " << errorName(opened.error())
              << "\n";
    return 1;
  }
  Result<EndOfMessage> answer = client->sendMessage(message);
  if (!answer) {
    std::cerr << "milter-send: no answer to the message: " << errorName(answer.error()) << "\n";
    return 1;
  }
  (void)client->quit();

  std::cout << "The milter asks the MTA to make " << answer->modifications.size()
            << " change(s):\n";
  for (const MilterReply& reply : answer->modifications) {
    std::cout << "  " << describe(reply) << "\n";
  }
  std::cout << "and answers: " << replyName(answer->code) << "\n";
  if (options.printDelivered) {
    std::cout << "\nThe message as delivered:\n"
              << applyHeaderChanges(message.text, answer->modifications, client->leadingSpace());
  }
  return 0;
}

}  // namespace
}  // namespace tollbrook::testing

int main(int argc, char** argv) {
  std::optional<tollbrook::testing::Options> options = tollbrook::testing::parseOptions(argc, argv);
  if (!options) return tollbrook::testing::usage();
  return tollbrook::testing::run(*options);
}
