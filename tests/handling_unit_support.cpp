#include "tests/handling_unit_support.h"

#include <stdexcept>

#include "core/message.h"
#include "daemon/config/daemon_config.h"
#include "daemon/milter/replies.h"

namespace tollbrook::testing {
namespace {

uint32_t readWord(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

std::string oneLine(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r') continue;
    if (value[i] == '\n') {
      while (i + 1 < value.size() && (value[i + 1] == '\t' || value[i + 1] == ' ')) ++i;
      out += ' ';
      continue;
    }
    out += value[i];
  }
  return out;
}

std::string describe(char code, std::string_view data) {
  if (code != 'i' && code != 'm') return std::string(1, code);
  const uint32_t index = readWord(data);
  std::string_view rest = data.substr(4);
  const size_t nul = rest.find('\0');
  const std::string_view name = rest.substr(0, nul);
  std::string_view value = rest.substr(nul + 1);
  if (!value.empty() && value.back() == '\0') value.remove_suffix(1);
  if (code == 'm') {
    std::string text = "m " + std::to_string(index) + " " + std::string(name);
    return value.empty() ? text : text + ": " + std::string(value);
  }
  std::string text = "i " + std::to_string(index) + " " + std::string(name);
  if (name.starts_with("ARC-")) return text;
  return text + ":" + oneLine(value);
}

}  // namespace

std::unique_ptr<MilterConnection> connectionWith(std::string_view headerBlock,
                                                 std::string_view body, uint32_t actions,
                                                 uint32_t flags) {
  auto connection = std::make_unique<MilterConnection>();
  connection->negotiatedActions = actions;
  connection->negotiatedProtocolFlags = flags;
  connection->daemonName = "mx-in";
  connection->setPeerLabel("192.0.2.25");
  std::string text(headerBlock);
  if (!text.empty() && !text.ends_with("\n")) text += "\r\n";
  Result<Message> parsed = parseMessage(text + "\r\n");
  if (!parsed) throw std::runtime_error("cannot parse the header block");
  for (const HeaderField& field : parsed->headers) {
    if (storeHeader(*connection, field.name, field.value, field.leadingSpace) !=
        HeaderStore::Stored) {
      throw std::runtime_error("cannot store a field");
    }
  }
  connection->message.body = body;
  return connection;
}

std::vector<std::string> takeReplies(MilterConnection& connection) {
  const std::string queued(unwrittenReplies(connection));
  markRepliesWritten(connection, queued.size());
  std::vector<std::string> replies;
  std::string_view rest = queued;
  while (rest.size() >= 5) {
    const uint32_t length = readWord(rest);
    replies.push_back(describe(rest[4], rest.substr(5, length - 1)));
    rest.remove_prefix(4 + length);
  }
  return replies;
}

std::unique_ptr<RuntimeConfig> defaultRuntimeConfig(std::string_view authservId) {
  DaemonConfig config;
  config.authservId = authservId;
  config.dnsNameservers = {"127.0.0.1"};
  std::unique_ptr<RuntimeConfig> snapshot = RuntimeConfig::copyFrom(config).value();
  return snapshot;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += "\n  " + line;
  return joined;
}

}  // namespace tollbrook::testing
