// trivial-milter: a milter that does no work, to measure what the protocol
// itself costs the milter side under the load generator. It negotiates as
// the daemon does (version 6, actions and protocol flags cut down to the
// daemon's offer), answers every command at once with continue and end of
// message with accept, and ignores macros, abort and quit-new-connection.
// One thread waits on one event queue for the listener and every connection;
// the replies read in one pass go out in one write. Run by hand; it runs
// until killed:
//
//   trivial-milter inet:HOST:PORT|unix:PATH
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/unique_fd.h"
#include "platform/event_queue.h"
#include "platform/listen_socket.h"
#include "tests/milter_wire.h"

namespace tollbrook::bench {

using testing::appendPacket;
using testing::appendWord;
using testing::frontPacket;
using testing::Packet;
using testing::readWord;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "trivial-milter: %s\n", what.c_str());
  std::exit(1);
}

constexpr uint32_t kOfferedActions = 0x11;      // add and change header fields
constexpr uint32_t kOfferedFlags = 0x00100000;  // header values with their leading space

UniqueFd listenOn(std::string_view address) {
  Result<UniqueFd> listener = fail(Error::InvalidArgument);
  if (address.starts_with("unix:")) {
    listener = listenUnix(address.substr(5));
  } else if (address.starts_with("inet:")) {
    const std::string hostPort(address.substr(5));
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) die("inet address without a port");
    listener = listenInet(hostPort.substr(0, colon),
                          static_cast<uint16_t>(std::atoi(hostPort.c_str() + colon + 1)));
  }
  if (!listener) die("cannot listen on " + std::string(address));
  return std::move(*listener);
}

struct Connection {
  UniqueFd fd;
  std::string in;
};

// Appends the reply to one command to `out`; false on quit.
bool reply(const Packet& packet, std::string& out) {
  switch (packet.code) {
    case 'O': {
      if (packet.data.size() < 12) return false;
      std::string data;
      appendWord(data, 6);
      appendWord(data, readWord(packet.data.substr(4)) & kOfferedActions);
      appendWord(data, readWord(packet.data.substr(8)) & kOfferedFlags);
      appendPacket(out, 'O', data);
      return true;
    }
    case 'D':
    case 'A':
    case 'K':
      return true;
    case 'Q':
      return false;
    case 'E':
      appendPacket(out, 'a');
      return true;
    default:
      appendPacket(out, 'c');
      return true;
  }
}

// Reads what the connection has (edge-triggered: until it would block) and
// answers it; false when the connection is to be closed.
bool serve(Connection& connection) {
  char buffer[8192];
  std::string out;
  for (;;) {
    const ssize_t got = recv(connection.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (got <= 0) return false;
    connection.in.append(buffer, static_cast<size_t>(got));
    size_t used = 0;
    while (std::optional<Packet> packet =
               frontPacket(std::string_view(connection.in).substr(used))) {
      if (packet->code == 0 || !reply(*packet, out)) return false;
      used += packet->size;
    }
    connection.in.erase(0, used);
    if (static_cast<size_t>(got) < sizeof buffer) break;  // emptied: a new edge brings more
  }
  std::string_view rest = out;
  while (!rest.empty()) {  // the socket blocks: the load generator always reads
    const ssize_t sent = send(connection.fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    rest.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void run(std::string_view address) {
  UniqueFd listener = listenOn(address);
  Result<EventQueue> queue = EventQueue::create();
  if (!queue || !queue->add({listener.get(), EventChange::Kind::ReadEdge})) {
    die("cannot wait on the listener");
  }
  std::unordered_map<int, Connection> connections;
  std::vector<EventChange> changes;
  std::vector<Event> events(64);
  for (;;) {
    Result<size_t> ready = queue->wait(changes, events, std::nullopt);
    changes.clear();
    if (!ready) die("event queue wait failed");
    for (size_t i = 0; i < *ready; ++i) {
      const Event& event = events[i];
      if (event.error || event.filter != EventFilter::Read) continue;
      if (event.fd == listener.get()) {
        for (;;) {
          UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
          if (!accepted.valid()) break;
          const int fd = accepted.get();
          changes.push_back({fd, EventChange::Kind::ReadEdge});
          connections[fd] = Connection{std::move(accepted), {}};
        }
        continue;
      }
      auto found = connections.find(event.fd);
      if (found != connections.end() && !serve(found->second)) {
        queue->forget(event.fd);  // the number comes back with the next accept
        connections.erase(found);
      }
    }
  }
}

}  // namespace
}  // namespace tollbrook::bench

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trivial-milter inet:HOST:PORT|unix:PATH\n");
    return 2;
  }
  tollbrook::bench::run(argv[1]);
}
