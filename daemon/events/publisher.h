// The ZeroMQ publisher of ARC events: one per worker thread, owned by the
// worker's end-of-message state and used only on that worker's thread (ZeroMQ
// sockets must stay on one thread). It owns its context and PUB socket.
#ifndef TOLLBROOK_DAEMON_EVENTS_PUBLISHER_H_
#define TOLLBROOK_DAEMON_EVENTS_PUBLISHER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/events/event_record.h"

namespace tollbrook {

// Longer endpoints leave the worker without a publisher.
inline constexpr std::size_t kMaxZmqEndpointBytes = 511;
// Messages a PUB socket queues before ZeroMQ drops new ones.
inline constexpr int kZmqSendHighWaterMark = 1000;

// Publishing is best effort and one-way: a collector that is down, slow or
// misconfigured loses events but never delays a reply to the MTA, and nothing
// about it is logged.
//
// The worker owns its publisher as a plain member rather than a thread_local:
// the publisher then lives exactly as long as the worker, closes in the
// worker's destructor on the worker's own thread, and tests can make as many
// as they like on one thread. A reload does not touch it; the endpoint and
// topic are start-up settings.
class EventPublisher {
 public:
  EventPublisher() = default;
  ~EventPublisher() { close(); }
  EventPublisher(EventPublisher&& other) noexcept = default;
  EventPublisher& operator=(EventPublisher&& other) noexcept;
  EventPublisher(const EventPublisher&) = delete;
  EventPublisher& operator=(const EventPublisher&) = delete;

  // Runs once per publisher, on the worker's first end of message; later calls
  // do nothing, also after a set-up that failed. Without an endpoint, with an
  // endpoint longer than kMaxZmqEndpointBytes, or when ZeroMQ refuses it, the
  // publisher stays disabled. The endpoint and topic are copied.
  void setUp(std::optional<std::string_view> endpoint, std::string_view topic);

  bool initialised() const { return initialised_; }
  // True when set-up left a connected socket behind.
  bool enabled() const { return socket_ != nullptr; }

  // Sends "<topic> <record>" as one frame without waiting. Does nothing while
  // disabled; a frame ZeroMQ cannot take is dropped.
  void publish(EventAction action, EventResult result, uint8_t instance);

 private:
  struct ContextDestroy {
    void operator()(void* context) const;
  };
  struct SocketClose {
    void operator()(void* socket) const;
  };
  using ZmqContext = std::unique_ptr<void, ContextDestroy>;
  using ZmqSocket = std::unique_ptr<void, SocketClose>;

  [[nodiscard]] bool connectSocket(std::string_view endpoint);
  // Closes the socket before its context: destroying a context waits for its
  // sockets to close.
  void close();

  ZmqContext context_;
  ZmqSocket socket_;  // declared after context_, so destroyed before it
  std::string topic_;
  bool initialised_ = false;
};

// Sends topic, one space and record as a single frame on `socket`, without
// blocking. Returns whether ZeroMQ took the frame; one it did not take is
// released here, so a full queue or a refusing socket leaks nothing.
bool sendEventFrame(void* socket, std::string_view topic, std::string_view record);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_EVENTS_PUBLISHER_H_
