#include "tests/milter_codec_peer.h"

#include <unistd.h>

#include <cerrno>

namespace tollbrook::testing {

CodecPeer::CodecPeer(UniqueFd socket, const MilterHandlers& handlers, MessageLimits limits,
                     std::string* transcript)
    : handlers_(handlers),
      transcript_(transcript),
      connection_(std::make_unique<MilterConnection>()) {
  connection_->socket = std::move(socket);
  connection_->limits = limits;
  thread_ = std::thread([this] { serve(); });
}

CodecPeer::~CodecPeer() {
  join();
}

void CodecPeer::join() {
  if (thread_.joinable()) thread_.join();
}

void CodecPeer::serve() {
  MilterConnection& connection = *connection_;
  char buffer[8192];
  while (!connection.closeRequested) {
    ssize_t got = ::read(connection.socket.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (transcript_) transcript_->append(buffer, static_cast<size_t>(got));
    if (!appendInput(connection, std::string_view(buffer, static_cast<size_t>(got)))) break;
    bool framingError = false;
    for (;;) {
      Result<std::optional<Packet>> next = nextPacket(connection);
      if (!next) framingError = true;
      if (!next || !*next) break;
      dispatchPacket(handlers_, connection, **next);
      if (connection.closeRequested) break;
      consumePacket(connection);
    }
    // The socket blocks, so the flush writes everything or fails.
    if (flushReplies(connection) != FlushOutcome::Written || framingError) break;
  }
  connection.socket.reset();
}

}  // namespace tollbrook::testing
