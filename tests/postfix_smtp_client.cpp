#include "tests/postfix_smtp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tollbrook::testing {
namespace {

UniqueFd connectLoopback(uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return {};
  }
  return fd;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The message as DATA carries it: CR LF line ends, leading dots doubled, a
// final line end, then the lone dot.
std::string dataSection(std::string_view message) {
  std::string out;
  out.reserve(message.size() + message.size() / 20 + 8);
  bool lineStart = true;
  for (size_t i = 0; i < message.size(); ++i) {
    char c = message[i];
    if (lineStart && c == '.') out += '.';
    lineStart = false;
    if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
    if (c == '\n') {
      out += "\r\n";
      lineStart = true;
      continue;
    }
    out += c;
  }
  if (!lineStart) out += "\r\n";
  out += ".\r\n";
  return out;
}

std::string describeStep(std::string_view name, const SmtpReply& reply) {
  return std::string(name) + ": " + (reply.code == 0 ? "(none)" : reply.text()) + "\n";
}

}  // namespace

std::string SmtpReply::text() const {
  std::string out;
  for (const std::string& line : lines) {
    if (!out.empty()) out += " | ";
    out += line;
  }
  return out;
}

SmtpClient::SmtpClient(uint16_t port) : socket_(connectLoopback(port)) {
  if (socket_.valid()) greeting_ = readReply();
}

SmtpReply SmtpClient::command(std::string_view line) {
  if (!socket_.valid() || !writeAll(socket_.get(), std::string(line) + "\r\n")) return {};
  return readReply();
}

SmtpReply SmtpClient::data(std::string_view message) {
  if (!socket_.valid() || !writeAll(socket_.get(), dataSection(message))) return {};
  return readReply();
}

// Lines until one whose fourth byte is a space (or that is only the code): the
// last line of a reply.
SmtpReply SmtpClient::readReply() {
  SmtpReply reply;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  for (;;) {
    size_t end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      reply.lines.push_back(line);
      if (line.size() < 3) return {};
      if (line.size() == 3 || line[3] == ' ') {
        int code = 0;
        for (int i = 0; i < 3; ++i) {
          if (line[i] < '0' || line[i] > '9') return {};
          code = code * 10 + (line[i] - '0');
        }
        reply.code = code;
        return reply;
      }
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd pfd{socket_.get(), POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};
    char chunk[4096];
    ssize_t n = ::read(socket_.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      socket_.reset();
      return {};
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::string SmtpTransaction::describe() const {
  std::string out =
      describeStep("greeting", greeting) + describeStep("EHLO", ehlo) + describeStep("MAIL", mail);
  for (const SmtpReply& reply : rcpt) out += describeStep("RCPT", reply);
  out += describeStep("DATA", data) + describeStep("end of data", dataEnd) +
         describeStep("QUIT", quit);
  return out;
}

SmtpTransaction sendSmtpMessage(uint16_t port, std::string_view helo, std::string_view from,
                                const std::vector<std::string>& recipients,
                                std::string_view message) {
  SmtpTransaction t;
  SmtpClient client(port);
  t.greeting = client.greeting();
  if (t.greeting.code != 220) return t;
  auto finish = [&] {
    t.quit = client.command("QUIT");
    return t;
  };
  t.ehlo = client.command("EHLO " + std::string(helo));
  if (t.ehlo.code != 250) return finish();
  t.mail = client.command("MAIL FROM:<" + std::string(from) + ">");
  if (t.mail.code != 250) return finish();
  bool anyAccepted = false;
  for (const std::string& recipient : recipients) {
    t.rcpt.push_back(client.command("RCPT TO:<" + recipient + ">"));
    anyAccepted = anyAccepted || t.rcpt.back().code == 250;
  }
  if (!anyAccepted) return finish();
  t.data = client.command("DATA");
  if (t.data.code != 354) return finish();
  t.dataEnd = client.data(message);
  t.queueId = queueIdOfReply(t.dataEnd);
  return finish();
}

std::string queueIdOfReply(const SmtpReply& reply) {
  if (reply.code != 250 || reply.lines.empty()) return {};
  const std::string& line = reply.lines.back();
  constexpr std::string_view kMarker = "queued as ";
  size_t at = line.find(kMarker);
  if (at == std::string::npos) return {};
  size_t start = at + kMarker.size();
  size_t end = start;
  while (end < line.size() && line[end] != ' ') ++end;
  return line.substr(start, end - start);
}

}  // namespace tollbrook::testing
