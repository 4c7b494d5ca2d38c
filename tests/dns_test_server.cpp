#include "tests/dns_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace tollbrook::testing {

namespace {

uint16_t read16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(bytes[at]) << 8) |
                               static_cast<uint8_t>(bytes[at + 1]));
}

// The question of an uncompressed query; false for anything else.
bool parseQuery(std::string_view bytes, ReceivedQuery& query) {
  if (bytes.size() < 12) return false;
  query.id = read16(bytes, 0);
  size_t at = 12;
  while (at < bytes.size() && bytes[at] != 0) {
    size_t length = static_cast<uint8_t>(bytes[at]);
    if (length > 63 || at + 1 + length >= bytes.size()) return false;
    if (!query.name.empty()) query.name.push_back('.');
    query.name.append(bytes.substr(at + 1, length));
    at += 1 + length;
  }
  if (at + 5 > bytes.size()) return false;
  query.type = read16(bytes, at + 1);
  query.raw = std::string(bytes);
  return true;
}

bool fillAddress(const std::string& text, uint16_t port, sockaddr_storage& storage,
                 socklen_t& length) {
  std::memset(&storage, 0, sizeof storage);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

int boundSocket(int type, const sockaddr_storage& storage, socklen_t length) {
  int fd = socket(storage.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (storage.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t boundPort(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  if (storage.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
}

bool readExactly(int fd, char* out, size_t length) {
  while (length > 0) {
    ssize_t n = recv(fd, out, length, 0);
    if (n <= 0) return false;
    out += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string buildReply(const ReceivedQuery& query, uint8_t rcode,
                       const std::vector<TestAnswer>& answers, bool truncated) {
  uint16_t flags = static_cast<uint16_t>(kFlagResponse | 0x0180 | rcode);
  if (truncated) flags |= kFlagTruncated;
  WireBuilder reply;
  reply.header(query.id, flags, 1, static_cast<uint16_t>(answers.size()))
      .question(query.name, query.type);
  for (const TestAnswer& a : answers) {
    reply.answer(a.owner.empty() ? query.name : a.owner, a.type, a.ttl, a.rdata);
  }
  return reply.bytes();
}

DnsHandler answerTxt(std::vector<std::string> texts, uint32_t ttl) {
  return [texts = std::move(texts), ttl](const ReceivedQuery& q) -> std::optional<std::string> {
    std::vector<TestAnswer> answers;
    for (const std::string& text : texts) {
      answers.push_back(
          TestAnswer{.owner = "", .type = 16, .ttl = ttl, .rdata = txtRdataSplit(text)});
    }
    return buildReply(q, 0, answers);
  };
}

DnsHandler answerRcode(uint8_t rcode) {
  return [rcode](const ReceivedQuery& q) -> std::optional<std::string> {
    return buildReply(q, rcode, {});
  };
}

DnsHandler silent() {
  return [](const ReceivedQuery&) -> std::optional<std::string> { return std::nullopt; };
}

DnsHandler truncatedOverUdp(std::vector<TestAnswer> udpAnswers, DnsHandler overTcp) {
  return [udpAnswers = std::move(udpAnswers),
          overTcp = std::move(overTcp)](const ReceivedQuery& q) -> std::optional<std::string> {
    if (q.overTcp) return overTcp(q);
    return buildReply(q, 0, udpAnswers, true);
  };
}

std::unique_ptr<DnsTestServer> DnsTestServer::start(const std::string& address, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (!fillAddress(address, port, storage, length)) return nullptr;
  std::unique_ptr<DnsTestServer> server(new DnsTestServer());
  server->address_ = address;
  // A port picked for UDP may be taken for TCP; try a few.
  for (int attempt = 0; attempt < 20 && server->tcp_ < 0; ++attempt) {
    if (server->udp_ >= 0) close(server->udp_);
    server->udp_ = boundSocket(SOCK_DGRAM, storage, length);
    if (server->udp_ < 0) return nullptr;
    server->port_ = boundPort(server->udp_);
    sockaddr_storage tcpAddress = storage;
    reinterpret_cast<sockaddr_in*>(&tcpAddress)->sin_port = htons(server->port_);
    if (tcpAddress.ss_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6*>(&tcpAddress)->sin6_port = htons(server->port_);
    }
    server->tcp_ = boundSocket(SOCK_STREAM, tcpAddress, length);
    if (port != 0 && server->tcp_ < 0) return nullptr;
  }
  if (server->tcp_ < 0 || pipe(server->wake_) != 0) return nullptr;
  server->handler_ = silent();
  server->thread_ = std::thread([s = server.get()] { s->run(); });
  return server;
}

std::pair<std::unique_ptr<DnsTestServer>, std::unique_ptr<DnsTestServer>>
DnsTestServer::startPair() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto first = start("127.0.0.1");
    if (!first) continue;
    auto second = start("::1", first->port());
    if (second) return {std::move(first), std::move(second)};
  }
  return {};
}

DnsTestServer::~DnsTestServer() {
  if (thread_.joinable()) {
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
    thread_.join();
  }
  for (int fd : {udp_, tcp_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void DnsTestServer::setHandler(DnsHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<ReceivedQuery> DnsTestServer::queries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

std::optional<std::string> DnsTestServer::answer(ReceivedQuery query) {
  DnsHandler handler;
  {
    std::lock_guard lock(mutex_);
    queries_.push_back(query);
    handler = handler_;
  }
  return handler(query);
}

void DnsTestServer::run() {
  while (true) {
    pollfd fds[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) continue;
    if (fds[2].revents != 0) return;
    if (fds[0].revents != 0) serveUdp();
    if (fds[1].revents != 0) serveTcp();
  }
}

void DnsTestServer::serveUdp() {
  char buffer[65536];
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  ssize_t n =
      recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
  if (n < 0) return;
  ++udpQueries_;
  ReceivedQuery query;
  if (!parseQuery(std::string_view(buffer, static_cast<size_t>(n)), query)) return;
  auto reply = answer(std::move(query));
  if (reply) {
    sendto(udp_, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
  }
}

void DnsTestServer::serveTcp() {
  int connection = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return;
  timeval limit{.tv_sec = 2, .tv_usec = 0};
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ++tcpQueries_;
  char prefix[2];
  std::string request;
  if (readExactly(connection, prefix, 2)) {
    request.resize(read16(std::string_view(prefix, 2), 0));
    ReceivedQuery query;
    query.overTcp = true;
    if (readExactly(connection, request.data(), request.size()) && parseQuery(request, query)) {
      if (auto reply = answer(std::move(query))) {
        std::string framed;
        if (!rawTcpFraming_) {
          framed.push_back(static_cast<char>(reply->size() >> 8));
          framed.push_back(static_cast<char>(reply->size() & 0xff));
        }
        framed += *reply;
        sendTcpReply(connection, framed);
      }
    }
  }
  close(connection);
}

// Dripping waits on the wake pipe between bytes, so that destroying the
// server does not wait for the whole reply.
void DnsTestServer::sendTcpReply(int connection, const std::string& framed) {
  const int64_t delayMs = tcpDripDelayMs_;
  if (delayMs == 0) {
    send(connection, framed.data(), framed.size(), MSG_NOSIGNAL);
    return;
  }
  for (char byte : framed) {
    if (send(connection, &byte, 1, MSG_NOSIGNAL) != 1) return;
    pollfd wake{wake_[0], POLLIN, 0};
    if (poll(&wake, 1, static_cast<int>(delayMs)) != 0) return;
  }
}

}  // namespace tollbrook::testing
