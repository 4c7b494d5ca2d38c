#include "tests/milter_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/message.h"
#include "platform/errno_map.h"
#include "platform/unix_address.h"
#include "tests/milter_wire.h"

namespace tollbrook::testing {
namespace {

constexpr uint32_t kMaxReplyLength = (1u << 20) + 1;  // code + 1 MiB of data

std::string withCrLfLineEnds(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\n' && (i == 0 || value[i - 1] != '\r')) out.push_back('\r');
    out.push_back(value[i]);
  }
  return out;
}

bool isFinalCode(char code) {
  // accept, continue, discard, reject, tempfail, SMTP reply text
  return code == 'a' || code == 'c' || code == 'd' || code == 'r' || code == 't' || code == 'y';
}

bool namesEqual(std::string_view a, std::string_view b) {
  return headerNameEquals(a, b);
}

}  // namespace

std::string MilterReply::encoded() const {
  std::string out;
  appendWord(out, static_cast<uint32_t>(data.size() + 1));
  out.push_back(code);
  out.append(data);
  return out;
}

std::optional<HeaderChange> decodeHeaderChange(const MilterReply& reply) {
  if (reply.code != 'i' && reply.code != 'h' && reply.code != 'm') return std::nullopt;
  std::string_view data = reply.data;
  HeaderChange change;
  change.code = reply.code;
  if (reply.code != 'h') {
    if (data.size() < 4) return std::nullopt;
    change.index = readWord(data);
    data.remove_prefix(4);
  }
  size_t nameEnd = data.find('\0');
  if (nameEnd == std::string_view::npos || data.empty() || data.back() != '\0') return std::nullopt;
  std::string_view value = data.substr(nameEnd + 1);
  value.remove_suffix(1);
  if (value.find('\0') != std::string_view::npos) return std::nullopt;
  change.name = data.substr(0, nameEnd);
  change.value = value;
  return change;
}

Result<std::pair<MilterClient, UniqueFd>> MilterClient::overSocketPair() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return fail(errorFromErrno(errno));
  }
  return std::pair<MilterClient, UniqueFd>(MilterClient(UniqueFd(pair[0])), UniqueFd(pair[1]));
}

Result<MilterClient> MilterClient::connectUnix(std::string_view path) {
  UnixAddress address;
  if (!makeUnixAddress(path, address)) return fail(Error::NameTooLong);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fail(errorFromErrno(errno));
  if (::connect(fd.get(), address.get(), address.length) != 0) return fail(errorFromErrno(errno));
  return MilterClient(std::move(fd));
}

Result<MilterClient> MilterClient::connectTcp(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fail(errorFromErrno(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail(errorFromErrno(errno));
  }
  // An MTA sends a macro packet and its command back to back and waits for one
  // reply: with Nagle's algorithm the command would wait for the delayed
  // acknowledgement of the macros, some 40 ms per stage.
  const int one = 1;
  (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return MilterClient(std::move(fd));
}

Status MilterClient::sendPacket(char command, std::string_view data) {
  std::string packet;
  appendWord(packet, static_cast<uint32_t>(data.size() + 1));
  packet.push_back(command);
  packet.append(data);
  std::string_view rest = packet;
  while (!rest.empty()) {
    ssize_t sent = ::send(socket_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return fail(sent == 0 ? Error::BrokenPipe : errorFromErrno(errno));
    rest.remove_prefix(static_cast<size_t>(sent));
  }
  return {};
}

Status MilterClient::fill() {
  pollfd waiting{socket_.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&waiting, 1, timeoutMs_);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return fail(errorFromErrno(errno));
  if (ready == 0) return fail(Error::ConnectionTimedOut);
  char buffer[16384];
  ssize_t got;
  do {
    got = ::read(socket_.get(), buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return fail(errorFromErrno(errno));
  if (got == 0) return fail(Error::UnexpectedEof);
  in_.append(buffer, static_cast<size_t>(got));
  return {};
}

Result<MilterReply> MilterClient::readReply() {
  while (in_.size() < 4) {
    if (Status filled = fill(); !filled) return fail(filled.error());
  }
  uint32_t length = readWord(in_);
  if (length == 0 || length > kMaxReplyLength) return fail(Error::PacketTooLarge);
  while (in_.size() < 4 + size_t{length}) {
    if (Status filled = fill(); !filled) return fail(filled.error());
  }
  MilterReply reply{in_[4], in_.substr(5, length - 1)};
  in_.erase(0, 4 + size_t{length});
  return reply;
}

bool MilterClient::peerClosed() {
  for (;;) {
    Status filled = fill();
    if (!filled)
      return filled.error() == Error::UnexpectedEof ||
             filled.error() == Error::ConnectionResetByPeer;
  }
}

Result<char> MilterClient::command(char code, std::string_view data) {
  if (Status sent = sendPacket(code, data); !sent) return fail(sent.error());
  Result<MilterReply> reply = readReply();
  if (!reply) return fail(reply.error());
  return reply->code;
}

Result<Negotiated> MilterClient::negotiate(uint32_t actions, uint32_t flags, uint32_t version) {
  std::string data;
  appendWord(data, version);
  appendWord(data, actions);
  appendWord(data, flags);
  if (Status sent = sendPacket('O', data); !sent) return fail(sent.error());
  Result<MilterReply> reply = readReply();
  if (!reply) return fail(reply.error());
  if (reply->code != 'O' || reply->data.size() < 12) return fail(Error::Unexpected);
  Negotiated agreed{readWord(reply->data), readWord(reply->data.substr(4)),
                    readWord(reply->data.substr(8))};
  leadingSpace_ = (agreed.flags & 0x100000) != 0;
  return agreed;
}

Status MilterClient::sendMacros(char stage, std::span<const Macro> macros) {
  std::string data(1, stage);
  for (const auto& [name, value] : macros) {
    data.append(name).push_back('\0');
    data.append(value).push_back('\0');
  }
  return sendPacket('D', data);
}

Result<char> MilterClient::connect(const MtaSession& session) {
  const Macro macros[] = {{"j", "mx.example.net"},
                          {"{daemon_name}", session.daemonName},
                          {"{daemon_addr}", "198.51.100.7"},
                          {"v", "Postfix 3.7.11"},
                          {"_", session.clientName + " [" + session.clientAddr + "]"},
                          {"{client_addr}", session.clientAddr},
                          {"{client_name}", session.clientName}};
  if (Status sent = sendMacros('C', macros); !sent) return fail(sent.error());
  std::string data = session.clientName;
  data.push_back('\0');
  data.push_back(session.family);
  if (session.family != 'U') {
    data.push_back(static_cast<char>(session.port >> 8));
    data.push_back(static_cast<char>(session.port));
    data.append(session.clientAddr).push_back('\0');
  }
  return command('C', data);
}

Result<char> MilterClient::helo(const MtaSession& session) {
  const Macro macros[] = {{"{tls_version}", ""}, {"{cipher}", ""}};
  if (Status sent = sendMacros('H', macros); !sent) return fail(sent.error());
  return command('H', session.helo + '\0');
}

Result<char> MilterClient::envfrom(const MtaMessage& message) {
  const Macro macros[] = {{"i", message.queueId},
                          {"{auth_type}", ""},
                          {"{mail_addr}", message.sender},
                          {"{mail_host}", "example.org"},
                          {"{mail_mailer}", "smtp"}};
  if (Status sent = sendMacros('M', macros); !sent) return fail(sent.error());
  std::string data = "<" + message.sender + ">";
  data.push_back('\0');
  data.append("BODY=8BITMIME").push_back('\0');
  return command('M', data);
}

Result<char> MilterClient::envrcpt(std::string_view recipient) {
  const Macro macros[] = {{"{rcpt_addr}", std::string(recipient)},
                          {"{rcpt_host}", "example.com"},
                          {"{rcpt_mailer}", "smtp"}};
  if (Status sent = sendMacros('R', macros); !sent) return fail(sent.error());
  // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on literal + string.
  std::string data("<");
  data.append(recipient).append(">");
  data.push_back('\0');
  return command('R', data);
}

Result<char> MilterClient::header(std::string_view name, std::string_view value,
                                  bool hasLeadingSpace) {
  std::string data(name);
  data.push_back('\0');
  if (hasLeadingSpace && leadingSpace_) data.push_back(' ');
  data.append(withLfLineEnds(value)).push_back('\0');
  return command('L', data);
}

Result<char> MilterClient::endOfHeaders() {
  return command('N', {});
}

Result<char> MilterClient::body(std::string_view bytes) {
  char code = 'c';
  while (!bytes.empty() && code == 'c') {
    std::string_view chunk = bytes.substr(0, kMaxBodyChunk);
    Result<char> answered = command('B', chunk);
    if (!answered) return answered;
    code = *answered;
    bytes.remove_prefix(chunk.size());
  }
  return code;
}

Result<EndOfMessage> MilterClient::endOfMessage(std::string_view queueId) {
  const Macro macros[] = {{"i", std::string(queueId)}};
  if (Status sent = sendMacros('E', macros); !sent) return fail(sent.error());
  if (Status sent = sendPacket('E', {}); !sent) return fail(sent.error());
  EndOfMessage outcome;
  for (;;) {
    Result<MilterReply> reply = readReply();
    if (!reply) return fail(reply.error());
    if (isFinalCode(reply->code)) {
      outcome.code = reply->code;
      return outcome;
    }
    outcome.modifications.push_back(std::move(*reply));
  }
}

Status MilterClient::abort() {
  return sendPacket('A', {});
}

Status MilterClient::quitNewConnection() {
  return sendPacket('K', {});
}

Status MilterClient::quit() {
  return sendPacket('Q', {});
}

Result<char> MilterClient::openSession(const MtaSession& session) {
  Result<char> connected = connect(session);
  if (!connected || *connected != 'c') return connected;
  return helo(session);
}

Result<EndOfMessage> MilterClient::sendMessage(const MtaMessage& message) {
  Result<Message> parsed = parseMessage(message.text);
  if (!parsed) return fail(parsed.error());
  auto stop = [](Result<char> code) -> std::optional<Result<EndOfMessage>> {
    if (!code) return fail(code.error());
    if (*code != 'c') return EndOfMessage{{}, *code};
    return std::nullopt;
  };
  if (auto ended = stop(envfrom(message))) return *ended;
  for (const std::string& recipient : message.recipients) {
    if (auto ended = stop(envrcpt(recipient))) return *ended;
  }
  for (const HeaderField& field : parsed->headers) {
    if (auto ended = stop(header(field.name, field.value, field.leadingSpace))) return *ended;
  }
  if (auto ended = stop(endOfHeaders())) return *ended;
  if (!parsed->body.empty()) {
    if (auto ended = stop(body(parsed->body))) return *ended;
  }
  return endOfMessage(message.queueId);
}

namespace {

struct DeliveredField {
  std::string name;
  std::string afterColon;  // everything after the ':', CR LF line ends
};

void applyChange(std::vector<DeliveredField>& fields, const HeaderChange& change,
                 bool leadingSpace) {
  std::string afterColon(leadingSpace ? "" : " ");  // appended to: see envrcpt()
  afterColon += withCrLfLineEnds(change.value);
  if (change.code == 'h') {
    fields.push_back({change.name, afterColon});
  } else if (change.code == 'i') {
    size_t at = std::min<size_t>(change.index, fields.size());
    fields.insert(fields.begin() + static_cast<ptrdiff_t>(at), {change.name, afterColon});
  } else {
    uint32_t seen = 0;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (!namesEqual(it->name, change.name) || ++seen != change.index) continue;
      if (change.value.empty()) {
        fields.erase(it);
      } else {
        it->afterColon = afterColon;
      }
      return;
    }
    if (!change.value.empty()) fields.push_back({change.name, afterColon});
  }
}

}  // namespace

std::string applyHeaderChanges(std::string_view messageText,
                               std::span<const MilterReply> modifications, bool leadingSpace) {
  Result<Message> message = parseMessage(messageText);
  if (!message) return {};
  std::vector<DeliveredField> fields;
  for (const HeaderField& field : message->headers) {
    std::string afterColon(field.leadingSpace ? " " : "");  // appended to: see envrcpt()
    afterColon.append(field.value);
    fields.push_back({std::string(field.name), std::move(afterColon)});
  }
  for (const MilterReply& reply : modifications) {
    if (std::optional<HeaderChange> change = decodeHeaderChange(reply)) {
      applyChange(fields, *change, leadingSpace);
    }
  }
  std::string out;
  for (const DeliveredField& field : fields) out += field.name + ":" + field.afterColon + "\r\n";
  out += "\r\n";
  out.append(message->body);
  return out;
}

}  // namespace tollbrook::testing
