// An example collector of tollbrook's events. It binds a ZeroMQ SUB socket at
// the address the daemon's ZmqEndpoint names (the daemon's workers connect to
// it) and prints one line per event:
//
//   event_subscriber [-n COUNT] ENDPOINT [TOPIC]
//
// ENDPOINT is what ZmqEndpoint says, such as tcp://127.0.0.1:5556 or
// ipc:///run/tollbrook-events/events; TOPIC is ZmqTopic, "arc" by default.
// With -n the program ends after COUNT events. It uses libzmq alone, as a
// collector of your own would.
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int usage() {
  std::fprintf(stderr, "usage: event_subscriber [-n COUNT] ENDPOINT [TOPIC]\n");
  return 2;
}

// The value of `key` in a record such as
// {"action":"verify","result":"pass","instance":2}. The daemon writes its
// records without spaces and its words need no escaping.
std::string_view field(std::string_view record, std::string_view key) {
  const std::string pattern = "\"" + std::string(key) + "\":";
  const size_t at = record.find(pattern);
  if (at == std::string_view::npos) return {};
  std::string_view rest = record.substr(at + pattern.size());
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    return rest.substr(0, rest.find('"'));
  }
  return rest.substr(0, rest.find_first_of(",}"));
}

// One event is one frame: the topic, a space, the JSON record.
void printEvent(std::string_view frame) {
  const size_t space = frame.find(' ');
  if (space == std::string_view::npos) return;
  const std::string_view topic = frame.substr(0, space);
  const std::string_view record = frame.substr(space + 1);
  const std::string line = std::string(topic) + " action=" + std::string(field(record, "action")) +
                           " result=" + std::string(field(record, "result")) +
                           " instance=" + std::string(field(record, "instance")) + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  long remaining = -1;  // events left to print; -1: no end
  int next = 1;
  if (next + 1 < argc && std::string_view(argv[next]) == "-n") {
    remaining = std::strtol(argv[next + 1], nullptr, 10);
    next += 2;
  }
  if (next >= argc || argc - next > 2) return usage();
  const char* endpoint = argv[next];
  // The space keeps topic "arc" from also matching a topic "arcade".
  const std::string prefix = std::string(next + 1 < argc ? argv[next + 1] : "arc") + " ";

  void* context = zmq_ctx_new();
  void* socket = zmq_socket(context, ZMQ_SUB);
  const int linger = 0;
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
  zmq_setsockopt(socket, ZMQ_SUBSCRIBE, prefix.data(), prefix.size());
  if (zmq_bind(socket, endpoint) != 0) {
    std::fprintf(stderr, "event_subscriber: cannot bind %s: %s\n", endpoint,
                 zmq_strerror(zmq_errno()));
    zmq_close(socket);
    zmq_ctx_destroy(context);
    return 1;
  }
  while (remaining != 0) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, socket, 0) < 0) {
      zmq_msg_close(&message);
      if (zmq_errno() == EINTR) break;  // Ctrl-C
      continue;
    }
    printEvent(
        std::string_view(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message)));
    zmq_msg_close(&message);
    if (remaining > 0) --remaining;
  }
  zmq_close(socket);
  zmq_ctx_destroy(context);
  return 0;
}
