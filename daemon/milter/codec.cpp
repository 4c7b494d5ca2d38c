#include "daemon/milter/codec.h"

#include <new>
#include <optional>
#include <string>

#include "core/log.h"

namespace tollbrook {
namespace {

uint32_t readWord(std::string_view bytes) {
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

void writeWord(char* out, uint32_t value) {
  out[0] = static_cast<char>(value >> 24);
  out[1] = static_cast<char>(value >> 16);
  out[2] = static_cast<char>(value >> 8);
  out[3] = static_cast<char>(value);
}

// The text up to the first NUL, or all of it.
std::string_view upToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

// Replaces `field` with a copy of `value`. On a failed copy the field keeps
// what it had and false is returned.
bool storeCopy(std::optional<std::string>& field, std::string_view value) {
  try {
    std::string copy(value);
    field = std::move(copy);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Queues a reply. One that cannot be queued ends the connection: the MTA
// would wait for it forever.
void reply(MilterConnection& connection, const ReplyPacket& packet) {
  Status queued = queueReplies(connection, {&packet, 1});
  if (queued) return;
  connection.closeRequested = true;
  ConnectionLabel label = connectionLabel(connection, LabelForm::AsIs);
  if (queued.error() == Error::OutputQueueFull) {
    logMessage(Severity::Warning, "dropping connection from ", label.text(), ": ",
               unwrittenReplies(connection).size(), " bytes of replies unread, output queue full");
  } else {
    logMessage(Severity::Debug, "dropping connection from ", label.text(),
               ": reply write failed: ", ErrName{queued.error()});
  }
}

void reply(MilterConnection& connection, char code) {
  reply(connection, ReplyPacket{code, {}});
}

void negotiate(const MilterHandlers& handlers, MilterConnection& connection,
               std::string_view data) {
  if (data.size() < 12) {
    connection.closeRequested = true;
    return;
  }
  // The MTA's version is not examined: an MTA that speaks version 6 or later
  // understands a version 6 answer.
  connection.negotiatedActions = readWord(data.substr(4)) & handlers.offeredActions;
  connection.negotiatedProtocolFlags = readWord(data.substr(8)) & handlers.offeredProtocolFlags;
  char answer[12];
  writeWord(answer, kMilterVersion);
  writeWord(answer + 4, connection.negotiatedActions);
  writeWord(answer + 8, connection.negotiatedProtocolFlags);
  reply(connection, ReplyPacket{kReplyNegotiate, std::string_view(answer, sizeof answer)});
}

// Host name NUL, family, port (2 bytes), address up to NUL or the end.
std::optional<ConnectInfo> parseConnect(std::string_view data) {
  size_t nul = data.find('\0');
  if (nul == std::string_view::npos || data.size() - nul - 1 < 3) return std::nullopt;
  ConnectInfo info;
  info.hostName = data.substr(0, nul);
  char family = data[nul + 1];
  info.family = (family == '4' || family == '6' || family == 'L') ? family : 'U';
  info.port = static_cast<uint16_t>(static_cast<unsigned char>(data[nul + 2]) << 8 |
                                    static_cast<unsigned char>(data[nul + 3]));
  info.address = upToNul(data.substr(nul + 4));
  return info;
}

char connect(const MilterHandlers& handlers, MilterConnection& connection, std::string_view data) {
  std::optional<ConnectInfo> info = parseConnect(data);
  if (!info) return kReplyContinue;
  if (storeCopy(connection.connectAddress, info->address)) connection.connectFamily = info->family;
  return handlers.connect ? handlers.connect(handlers.context, connection, *info) : kReplyContinue;
}

char helo(const MilterHandlers& handlers, MilterConnection& connection, std::string_view data) {
  if (!data.empty() && data.back() == '\0') data.remove_suffix(1);
  (void)storeCopy(connection.helo, data);  // only the empty helo slot would read it
  return handlers.helo ? handlers.helo(handlers.context, connection, data) : kReplyContinue;
}

char envfrom(const MilterHandlers& handlers, MilterConnection& connection, std::string_view data) {
  (void)storeCopy(connection.message.envelopeSender, upToNul(data));
  return handlers.envfrom ? handlers.envfrom(handlers.context, connection, data) : kReplyContinue;
}

char envrcpt(const MilterHandlers& handlers, MilterConnection& connection, std::string_view data) {
  try {
    connection.message.recipients.emplace_back(upToNul(data));
  } catch (const std::bad_alloc&) {
    // The recipients serve only the empty envrcpt slot; a lost one harms nothing.
  }
  return handlers.envrcpt ? handlers.envrcpt(handlers.context, connection, data) : kReplyContinue;
}

char header(const MilterHandlers& handlers, MilterConnection& connection, std::string_view data) {
  accumulateHeaderPacket(connection, data);
  if (!handlers.header) return kReplyContinue;
  size_t nul = data.find('\0');
  if (nul == std::string_view::npos) return kReplyContinue;
  std::string_view value = upToNul(data.substr(nul + 1));
  if ((connection.negotiatedProtocolFlags & kSmfipHdrLeadSpc) != 0 && value.starts_with(' ')) {
    value.remove_prefix(1);
  }
  return handlers.header(handlers.context, connection, data.substr(0, nul), value);
}

void endOfMessage(const MilterHandlers& handlers, MilterConnection& connection) {
  const MilterMessage& message = connection.message;
  if (message.headerLimitReached) {
    logMessage(Severity::Warning, "tempfail: header block from ",
               connectionLabel(connection, LabelForm::Sanitised).text(),
               " exceeded MaxHeaders=", connection.limits.maxHeaders,
               "/MaxHeaderBytes=", connection.limits.maxHeaderBytes,
               " and could not be inspected in full");
    if (handlers.headerLimitTempfail) handlers.headerLimitTempfail(handlers.context, connection);
    reply(connection, kReplyTempfail);
  } else {
    reply(connection, handlers.eom ? handlers.eom(handlers.context, connection) : kReplyAccept);
  }
  // The reply is queued: the next message starts clean while it goes out.
  resetMessage(connection);
}

std::optional<std::string>* macroField(MilterConnection& connection, std::string_view name) {
  if (name.size() > 2 && name.front() == '{' && name.back() == '}') {
    name = name.substr(1, name.size() - 2);
  } else if (name == "i") {
    return &connection.message.queueId;
  }
  if (name == "client_addr") return &connection.clientAddr;
  if (name == "client_name") return &connection.clientName;
  if (name == "mail_addr") return &connection.message.mailAddr;
  if (name == "rcpt_addr") return &connection.message.rcptAddr;
  if (name == "daemon_name") return &connection.daemonName;
  if (name == "auth_type") return &connection.authType;
  return nullptr;
}

// The stage byte, then name NUL value NUL pairs.
void macros(MilterConnection& connection, std::string_view data) {
  if (data.empty()) return;
  std::string_view rest = data.substr(1);
  for (;;) {
    size_t nameEnd = rest.find('\0');
    if (nameEnd == std::string_view::npos) return;
    std::string_view name = rest.substr(0, nameEnd);
    rest.remove_prefix(nameEnd + 1);
    std::string_view value = upToNul(rest);
    rest.remove_prefix(std::min(rest.size(), value.size() + 1));
    if (std::optional<std::string>* field = macroField(connection, name)) {
      if (!storeCopy(*field, value)) return;
    }
  }
}

}  // namespace

void dispatchPacket(const MilterHandlers& handlers, MilterConnection& connection,
                    const Packet& packet) {
  if (connection.closeRequested) return;
  std::string_view data = packet.data;
  switch (packet.command) {
    case 'O':
      negotiate(handlers, connection, data);
      return;
    case 'C':
      reply(connection, connect(handlers, connection, data));
      return;
    case 'H':
      reply(connection, helo(handlers, connection, data));
      return;
    case 'M':
      reply(connection, envfrom(handlers, connection, data));
      return;
    case 'R':
      reply(connection, envrcpt(handlers, connection, data));
      return;
    case 'L':
      reply(connection, header(handlers, connection, data));
      return;
    case 'N':
      reply(connection, handlers.eoh ? handlers.eoh(handlers.context, connection) : kReplyContinue);
      return;
    case 'B':
      reply(connection,
            handlers.body ? handlers.body(handlers.context, connection, data) : kReplyContinue);
      return;
    case 'E':
      endOfMessage(handlers, connection);
      return;
    case 'A':
      if (handlers.abort) handlers.abort(handlers.context, connection);
      resetMessage(connection);
      return;
    case 'K':
      resetMessage(connection);
      return;
    case 'Q':
      connection.closeRequested = true;
      return;
    case 'D':
      macros(connection, data);
      return;
    default:
      // Data ('T'), unknown SMTP commands ('U') and anything newer.
      reply(connection, kReplyContinue);
      return;
  }
}

}  // namespace tollbrook
