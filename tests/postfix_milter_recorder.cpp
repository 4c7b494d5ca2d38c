#include "tests/postfix_milter_recorder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "daemon/milter/codec.h"
#include "daemon/milter/replies.h"
#include "tests/milter_codec_peer.h"

namespace tollbrook::testing {
namespace {

uint32_t bigEndian32(std::string_view bytes) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(bytes[0])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(bytes[1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(bytes[2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[3]));
}

// Cuts the bytes the MTA sent into packets; a torn last packet is dropped.
std::vector<RecordedPacket> framePackets(std::string_view bytes) {
  std::vector<RecordedPacket> packets;
  while (bytes.size() >= 5) {
    uint32_t length = bigEndian32(bytes);
    if (length == 0 || bytes.size() - 4 < length) break;
    packets.push_back({bytes[4], std::string(bytes.substr(5, length - 1))});
    bytes.remove_prefix(4 + length);
  }
  return packets;
}

// A copy of what the codec accumulated for the message under way.
StoredMessage storedMessageOf(const MilterMessage& m) {
  StoredMessage stored;
  stored.mailAddr = m.mailAddr;
  stored.rcptAddr = m.rcptAddr;
  stored.queueId = m.queueId;
  stored.envelopeSender = m.envelopeSender;
  stored.recipients = m.recipients;
  for (const HeaderField& field : m.headers) {
    stored.headers.push_back(
        {std::string(field.name), std::string(field.value), field.leadingSpace});
  }
  return stored;
}

}  // namespace

struct RecordingMilter::Session {
  RecordingMilter* owner = nullptr;
  UniqueFd socket;    // handed to the codec's peer when the thread starts
  UniqueFd shutdown;  // a duplicate, so the destructor can end the connection
  std::vector<StoredMessage> messages;
  std::thread thread;
};

std::vector<std::string> MacroPacket::names() const {
  std::vector<std::string> out;
  for (const auto& [name, value] : macros) out.push_back(name);
  return out;
}

std::optional<std::string> MacroPacket::value(std::string_view name) const {
  for (const auto& [n, v] : macros) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::string RecordedConnection::commands() const {
  std::string out;
  for (const RecordedPacket& packet : packets) out += packet.command;
  return out;
}

std::optional<OfferedOptions> RecordedConnection::offered() const {
  std::optional<std::string> data = dataOf('O');
  if (!data || data->size() < 12) return std::nullopt;
  std::string_view d = *data;
  return OfferedOptions{bigEndian32(d), bigEndian32(d.substr(4)), bigEndian32(d.substr(8))};
}

std::vector<MacroPacket> RecordedConnection::macroPackets() const {
  std::vector<MacroPacket> out;
  for (const RecordedPacket& packet : packets) {
    if (packet.command != 'D' || packet.data.empty()) continue;
    MacroPacket macros;
    macros.stage = packet.data[0];
    std::string_view rest = std::string_view(packet.data).substr(1);
    while (!rest.empty()) {
      size_t nameEnd = rest.find('\0');
      if (nameEnd == std::string_view::npos) break;
      std::string_view name = rest.substr(0, nameEnd);
      rest.remove_prefix(nameEnd + 1);
      size_t valueEnd = rest.find('\0');
      std::string_view value = rest.substr(0, valueEnd);
      macros.macros.emplace_back(std::string(name), std::string(value));
      rest.remove_prefix(valueEnd == std::string_view::npos ? rest.size() : valueEnd + 1);
    }
    out.push_back(std::move(macros));
  }
  return out;
}

std::optional<MacroPacket> RecordedConnection::macrosAt(char stage) const {
  std::optional<MacroPacket> found;
  for (MacroPacket& macros : macroPackets()) {
    if (macros.stage == stage) found = std::move(macros);
  }
  return found;
}

std::vector<RawHeader> RecordedConnection::headers() const {
  std::vector<RawHeader> out;
  for (const RecordedPacket& packet : packets) {
    if (packet.command != 'L') continue;
    size_t nameEnd = packet.data.find('\0');
    if (nameEnd == std::string::npos) continue;
    std::string value = packet.data.substr(nameEnd + 1);
    if (!value.empty() && value.back() == '\0') value.pop_back();
    out.push_back({packet.data.substr(0, nameEnd), std::move(value)});
  }
  return out;
}

std::optional<std::string> RecordedConnection::dataOf(char command) const {
  for (const RecordedPacket& packet : packets) {
    if (packet.command == command) return packet.data;
  }
  return std::nullopt;
}

RecordingMilter::RecordingMilter(uint16_t port) {
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) return;
  stopRead_.reset(stop[0]);
  stopWrite_.reset(stop[1]);
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) return;
  int on = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 64) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

RecordingMilter::~RecordingMilter() {
  stopWrite_.reset();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::list<std::unique_ptr<Session>> sessions;
  {
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (auto& session : sessions) {
    ::shutdown(session->shutdown.get(), SHUT_RDWR);
    if (session->thread.joinable()) session->thread.join();
  }
}

std::string RecordingMilter::address() const {
  return "inet:127.0.0.1:" + std::to_string(port_);
}

void RecordingMilter::editHeadersFor(std::string recipient, std::vector<HeaderEdit> edits) {
  std::lock_guard lock(mutex_);
  edits_[std::move(recipient)] = std::move(edits);
}

std::vector<HeaderEdit> RecordingMilter::editsFor(
    const std::vector<std::string>& recipients) const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, edits] : edits_) {
    for (const std::string& recipient : recipients) {
      if (recipient.find(key) != std::string::npos) return edits;
    }
  }
  return {};
}

size_t RecordingMilter::connectionsAccepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

void RecordingMilter::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!socket.valid()) continue;
    auto session = std::make_unique<Session>();
    session->owner = this;
    session->shutdown.reset(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
    session->socket = std::move(socket);
    Session& ref = *session;
    std::lock_guard lock(mutex_);
    ++accepted_;
    sessions_.push_back(std::move(session));
    ref.thread = std::thread([this, &ref] { serve(ref); });
  }
}

void RecordingMilter::serve(Session& session) {
  struct Context {
    Session* session;
    RecordingMilter* owner;
  } context{&session, this};
  // End of message: keep what the codec accumulated, queue the edits the
  // test asked for, accept.
  MilterHandlers handlers;
  handlers.context = &context;
  handlers.eom = [](void* raw, MilterConnection& connection) -> char {
    auto& ctx = *static_cast<Context*>(raw);
    for (const HeaderEdit& edit : ctx.owner->editsFor(connection.message.recipients)) {
      Result<HeaderChangeReply> reply = edit.code == 'i'
                                            ? insertHeaderReply(connection, edit.name, edit.value)
                                            : changeHeaderReply(edit.index, edit.name, edit.value);
      if (!reply) return kReplyTempfail;
      ReplyPacket packet = reply->packet();
      if (!queueReplies(connection, {&packet, 1})) return kReplyTempfail;
    }
    ctx.session->messages.push_back(storedMessageOf(connection.message));
    return kReplyAccept;
  };

  std::string transcript;
  RecordedConnection recorded;
  {
    CodecPeer peer(std::move(session.socket), handlers, {}, &transcript);
    peer.join();
    const MilterConnection& c = peer.connection();
    recorded.clientAddr = c.clientAddr;
    recorded.clientName = c.clientName;
    recorded.daemonName = c.daemonName;
    recorded.authType = c.authType;
    recorded.helo = c.helo;
    recorded.connectAddress = c.connectAddress;
    recorded.connectFamily = c.connectFamily;
    recorded.negotiatedActions = c.negotiatedActions;
    recorded.negotiatedProtocolFlags = c.negotiatedProtocolFlags;
  }
  recorded.packets = framePackets(transcript);
  recorded.messages = std::move(session.messages);
  std::lock_guard lock(mutex_);
  finished_.push_back(std::move(recorded));
  ended_.notify_all();
}

std::optional<RecordedConnection> RecordingMilter::waitForConnection(std::string_view recipient,
                                                                     int timeoutMs) {
  auto carries = [&](const RecordedConnection& c) {
    for (const RecordedPacket& packet : c.packets) {
      if (packet.command == 'R' && packet.data.find(recipient) != std::string::npos) return true;
    }
    return false;
  };
  std::unique_lock lock(mutex_);
  std::optional<RecordedConnection> found;
  ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (auto it = finished_.begin(); it != finished_.end(); ++it) {
      if (!carries(*it)) continue;
      found = std::move(*it);
      finished_.erase(it);
      return true;
    }
    return false;
  });
  return found;
}

}  // namespace tollbrook::testing
