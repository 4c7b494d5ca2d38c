#include "tests/event_collector.h"

#include <gtest/gtest.h>
#include <zmq.h>

namespace tollbrook::testing {

void ZmqContextDestroy::operator()(void* context) const {
  zmq_ctx_destroy(context);
}

void ZmqSocketClose::operator()(void* socket) const {
  zmq_close(socket);
}

EventCollector::EventCollector(const char* address, int receiveQueue)
    : context_(zmq_ctx_new()), socket_(zmq_socket(context_.get(), ZMQ_SUB)) {
  const int zero = 0, one = 1;
  zmq_setsockopt(socket_.get(), ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(socket_.get(), ZMQ_IPV6, &one, sizeof one);
  zmq_setsockopt(socket_.get(), ZMQ_SUBSCRIBE, "", 0);
  if (receiveQueue > 0) {
    const int kernelBuffer = 4096;
    zmq_setsockopt(socket_.get(), ZMQ_RCVHWM, &receiveQueue, sizeof receiveQueue);
    zmq_setsockopt(socket_.get(), ZMQ_RCVBUF, &kernelBuffer, sizeof kernelBuffer);
  }
  bound_ = zmq_bind(socket_.get(), address) == 0;
}

std::string EventCollector::endpoint() const {
  char text[256] = {};
  size_t size = sizeof text;
  zmq_getsockopt(socket_.get(), ZMQ_LAST_ENDPOINT, text, &size);
  return text;
}

std::optional<std::string> EventCollector::receive(int timeoutMs) {
  zmq_setsockopt(socket_.get(), ZMQ_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  zmq_msg_t message;
  zmq_msg_init(&message);
  if (zmq_msg_recv(&message, socket_.get(), 0) < 0) {
    zmq_msg_close(&message);
    return std::nullopt;
  }
  std::string frame(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
  EXPECT_FALSE(zmq_msg_more(&message)) << "frame " << frame << " has more parts";
  zmq_msg_close(&message);
  return frame;
}

}  // namespace tollbrook::testing
