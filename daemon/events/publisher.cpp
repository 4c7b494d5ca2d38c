#include "daemon/events/publisher.h"

#include <zmq.h>

#include <algorithm>
#include <array>
#include <new>
#include <utility>

namespace tollbrook {
namespace {

// The endpoint as ZeroMQ wants it, NUL-terminated, in a buffer on the stack.
// Endpoints that are too long, or that hold a NUL (ZeroMQ would silently use a
// shorter endpoint than the one configured), give nothing.
struct EndpointText {
  std::array<char, kMaxZmqEndpointBytes + 1> bytes;
};

std::optional<EndpointText> terminatedEndpoint(std::string_view endpoint) {
  if (endpoint.size() > kMaxZmqEndpointBytes) return std::nullopt;
  if (endpoint.find('\0') != std::string_view::npos) return std::nullopt;
  EndpointText text;
  *std::copy(endpoint.begin(), endpoint.end(), text.bytes.begin()) = '\0';
  return text;
}

// Socket options whose results are not examined: the defaults they replace
// would only make publishing less prompt, never break it.
void setPublisherOptions(void* socket, std::string_view endpoint) {
  const int linger = 0;  // a closing worker drops what is still queued
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
  const int highWaterMark = kZmqSendHighWaterMark;
  zmq_setsockopt(socket, ZMQ_SNDHWM, &highWaterMark, sizeof highWaterMark);
  if (endpoint.find('[') != std::string_view::npos) {
    const int ipv6 = 1;
    zmq_setsockopt(socket, ZMQ_IPV6, &ipv6, sizeof ipv6);
  }
}

}  // namespace

void EventPublisher::ContextDestroy::operator()(void* context) const {
  zmq_ctx_destroy(context);
}

void EventPublisher::SocketClose::operator()(void* socket) const {
  zmq_close(socket);
}

EventPublisher& EventPublisher::operator=(EventPublisher&& other) noexcept {
  if (this != &other) {
    close();
    socket_ = std::move(other.socket_);
    context_ = std::move(other.context_);
    topic_ = std::move(other.topic_);
    initialised_ = std::exchange(other.initialised_, false);
  }
  return *this;
}

void EventPublisher::close() {
  socket_.reset();
  context_.reset();
}

void EventPublisher::setUp(std::optional<std::string_view> endpoint, std::string_view topic) {
  if (initialised_) return;
  // Whatever happens below, this worker never tries again.
  initialised_ = true;
  if (!endpoint) return;
  try {
    topic_.assign(topic);  // our only allocation for publishing, made once
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!connectSocket(*endpoint)) close();
}

bool EventPublisher::connectSocket(std::string_view endpoint) {
  const std::optional<EndpointText> text = terminatedEndpoint(endpoint);
  if (!text) return false;
  context_.reset(zmq_ctx_new());
  if (!context_) return false;
  socket_.reset(zmq_socket(context_.get(), ZMQ_PUB));
  if (!socket_) return false;
  setPublisherOptions(socket_.get(), endpoint);
  return zmq_connect(socket_.get(), text->bytes.data()) == 0;
}

void EventPublisher::publish(EventAction action, EventResult result, uint8_t instance) {
  if (!socket_) return;
  const EventRecord record = formatEventRecord(action, result, instance);
  // Best effort: an event ZeroMQ does not take is lost, and the reply to the
  // MTA does not wait for it.
  (void)sendEventFrame(socket_.get(), topic_, record.text());
}

bool sendEventFrame(void* socket, std::string_view topic, std::string_view record) {
  // The frame must own its bytes, because ZeroMQ's I/O thread sends it after we
  // return; its one allocation, made by ZeroMQ, is the only one per event (the
  // record itself is formatted on the stack).
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, topic.size() + 1 + record.size()) != 0) return false;
  char* out = static_cast<char*>(zmq_msg_data(&message));
  out = std::copy(topic.begin(), topic.end(), out);
  *out++ = ' ';
  std::copy(record.begin(), record.end(), out);
  if (zmq_msg_send(&message, socket, ZMQ_DONTWAIT) >= 0) return true;  // ZeroMQ owns it now
  zmq_msg_close(&message);
  return false;
}

}  // namespace tollbrook
