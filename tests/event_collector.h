// A collector of the daemon's events for tests: a real ZeroMQ SUB socket,
// subscribed to everything and bound where the test says (a port the system
// picks with "tcp://127.0.0.1:*").
#ifndef TOLLBROOK_TESTS_EVENT_COLLECTOR_H_
#define TOLLBROOK_TESTS_EVENT_COLLECTOR_H_

#include <memory>
#include <optional>
#include <string>

namespace tollbrook::testing {

// Owners for a ZeroMQ context and socket.
struct ZmqContextDestroy {
  void operator()(void* context) const;
};
struct ZmqSocketClose {
  void operator()(void* socket) const;
};

class EventCollector {
 public:
  // `receiveQueue` > 0 bounds what the collector takes in while nobody reads
  // (its high-water mark, and a small kernel buffer).
  explicit EventCollector(const char* address = "tcp://127.0.0.1:*", int receiveQueue = 0);

  bool bound() const { return bound_; }

  // The endpoint a publisher connects to, with the port filled in.
  std::string endpoint() const;

  // The next frame, or nothing after `timeoutMs`. A frame with more parts
  // behind it fails the test: every event is a single frame.
  std::optional<std::string> receive(int timeoutMs);

 private:
  std::unique_ptr<void, ZmqContextDestroy> context_;
  std::unique_ptr<void, ZmqSocketClose> socket_;
  bool bound_ = false;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_EVENT_COLLECTOR_H_
