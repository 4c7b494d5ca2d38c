// Accepting connections: the pass over one listener after its read event, the
// connection limit with its refusal line, and the retry of passes that a
// shortage of descriptors cut short.
#include <memory>
#include <new>
#include <utility>

#include "core/log.h"
#include "daemon/worker/worker.h"

namespace tollbrook {

// The listener is edge-triggered, so the pass takes every pending connection:
// one left behind would get no new event. Only a shortage (which the retry
// in the loop covers) or a broken listener ends the pass early; a connection
// lost while it waited in the backlog just makes room for the next.
void Worker::acceptPass(size_t listenerIndex) {
  const int fd = listeners_[listenerIndex].socket.get();
  for (;;) {
    auto accepted = acceptConnection(fd);
    if (!accepted) {
      const AcceptFailure& failure = accepted.error();
      if (failure.next == AcceptFailure::Next::Wait) break;
      reportAcceptFailure(failure);
      if (failure.next == AcceptFailure::Next::TakeNext) continue;
      if (failure.next == AcceptFailure::Next::RetryLater) acceptStarved_ = true;
      break;
    }
    if (connections_.size() >= setup_.maxConnections) {
      ++refused_;  // the socket closes as `accepted` goes out of scope
      continue;
    }
    admit(std::move(*accepted), listenerIndex);
  }
  reportRefusals();
}

void Worker::retryStarvedAccepts() {
  acceptStarved_ = false;
  for (size_t i = 0; i < listeners_.size(); ++i) {
    if (listeners_[i].socket.valid()) acceptPass(i);
  }
}

// A connection that cannot be set up is closed without a word: the MTA sees
// the close and tries again or elsewhere.
void Worker::admit(AcceptedConnection accepted, size_t listenerIndex) {
  std::unique_ptr<MilterConnection> connection;
  try {
    connection = std::make_unique<MilterConnection>();
  } catch (const std::bad_alloc&) {
    return;
  }
  connection->listenerIndex = listenerIndex;
  connection->limits = setup_.limits;
  connection->setPeerLabel(accepted.peer.view());
  const int fd = accepted.socket.get();
  connection->socket = std::move(accepted.socket);
  if (!connections_.insert(std::move(connection))) return;
  openConnections_.store(connections_.size(), std::memory_order_relaxed);
  addChange({fd, EventChange::Kind::ReadEdge});
}

void Worker::reportAcceptFailure(const AcceptFailure& failure) {
  if (!acceptErrorLine_.allow(setup_.clock())) return;
  logMessage(Severity::Err, "accept error: ", failure.error);
}

// One line per second at most; refusals within the second add up and are
// told by a later line.
void Worker::reportRefusals() {
  if (refused_ == 0 || !refusalLine_.allow(setup_.clock())) return;
  logMessage(Severity::Warning, "refused ", refused_, " connection(s): worker ", setup_.index,
             " is at MaxConnections=", setup_.maxConnections);
  refused_ = 0;
}

}  // namespace tollbrook
