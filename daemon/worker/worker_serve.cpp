// Serving accepted connections: reading and dispatching packets, writing the
// replies, resuming held replies, closing.
#include <string_view>

#include "daemon/milter/packet.h"
#include "daemon/milter/replies.h"
#include "daemon/worker/worker.h"
#include "platform/io.h"

namespace tollbrook {

namespace {

constexpr size_t kReadChunk = 8192;

}  // namespace

// Reads until the socket is empty (the read interest is edge-triggered).
// Every complete packet of a chunk is dispatched, then the replies of the
// whole chunk go out in one flush: an MTA that sends several commands at once
// gets their replies in one write.
void Worker::readPass(MilterConnection& connection) {
  const int fd = connection.socket.get();
  char chunk[kReadChunk];
  for (;;) {
    Result<size_t> n = readSome(fd, chunk);
    if (!n && n.error() == Error::WouldBlock) return;
    if (!n || *n == 0) return closeConnection(fd);
    if (!appendInput(connection, std::string_view(chunk, *n))) return closeConnection(fd);
    const bool framed = dispatchPackets(connection);
    if (!flush(connection)) return;  // closed
    if (!framed) return closeConnection(fd);
    // A short read emptied the socket: bytes that come later raise a new
    // event, so asking again only to hear that it would block is a system
    // call per command wasted (an MTA sends one command and waits).
    if (*n < sizeof chunk) return;
  }
}

// False when the stream cannot go on: a length word out of bounds, or the
// codec is done with the connection.
bool Worker::dispatchPackets(MilterConnection& connection) {
  for (;;) {
    Result<std::optional<Packet>> packet = nextPacket(connection);
    if (!packet) return false;
    if (!*packet) return true;
    dispatchPacket(setup_.handlers, connection, **packet);
    if (connection.closeRequested) return false;
    consumePacket(connection);
  }
}

// Writes what the dispatch queued. False when the connection was closed.
// Replies queued before the codec asked to close (a quit after end of
// message) still go out first.
bool Worker::flush(MilterConnection& connection) {
  const int fd = connection.socket.get();
  switch (flushReplies(connection)) {
    case FlushOutcome::Written:
    case FlushOutcome::Holding:
      break;
    case FlushOutcome::HoldStarted:
      addChange({fd, EventChange::Kind::WriteOnce});
      break;
    case FlushOutcome::Failed:
      closeConnection(fd);
      return false;
  }
  if (connection.closeRequested) {
    closeConnection(fd);
    return false;
  }
  return true;
}

void Worker::onWritable(int fd) {
  MilterConnection* connection = connections_.find(fd);
  if (connection == nullptr) return;
  connection->holding = false;
  (void)flush(*connection);
}

// A connection whose read or write interest could not be registered would
// never be served again; closing it lets the MTA retry rather than wait for
// its own timeout, and frees the place under MaxConnections.
void Worker::onFailedChange(const Event& event) {
  if (connections_.find(event.fd) != nullptr) closeConnection(event.fd);
}

void Worker::closeConnection(int fd) {
  queue_.forget(fd);
  dropPendingChanges(fd);
  connections_.remove(fd);  // the record closes the socket as it goes
  openConnections_.store(connections_.size(), std::memory_order_relaxed);
  // When accept was starved of descriptors, this one freed is used by the
  // retry that follows the current batch of events.
}

}  // namespace tollbrook
