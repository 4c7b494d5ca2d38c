#include "tools/seal/seal_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "daemon/milter/body_handler.h"

namespace tollbrook::tools {
namespace {

using Failure = std::unexpected<ConnectionFailure>;

// The connection's socket: one end of a local pair, as the daemon's record
// always has a descriptor. Nothing is ever written to it.
bool attachSocket(MilterConnection& connection) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  connection.socket.reset(pair[0]);
  ::close(pair[1]);  // no MTA sits at the other end
  return true;
}

std::optional<ConnectionFailure> loadHeaders(const Message& message, MilterConnection& connection) {
  for (const HeaderField& field : message.headers) {
    switch (storeHeader(connection, field.name, field.value, field.leadingSpace)) {
      case HeaderStore::Stored:
        break;
      case HeaderStore::OutOfMemory:
        return ConnectionFailure::OutOfMemory;
      case HeaderStore::LimitReached:
      case HeaderStore::Dropped:
        return ConnectionFailure::HeaderLimits;
    }
  }
  return std::nullopt;
}

void loadBody(const Message& message, MilterConnection& connection) {
  std::string_view body = message.body;
  while (!body.empty()) {
    std::string_view chunk = body.substr(0, kBodyChunkSize);
    handleBodyChunk(connection, chunk);
    body.remove_prefix(chunk.size());
  }
}

// A file under the read limit can still pass MaxBodyBytes once its bare LF line
// ends have become CR LF. The daemon abandons such a body, and so does the
// copy here; the builder then refuses to seal it. A body abandoned within
// the limit could only have failed to grow.
bool passesBodyLimit(const Message& message, const MessageLimits& limits) {
  return limits.maxBodyBytes != 0 && message.body.size() > limits.maxBodyBytes;
}

}  // namespace

std::expected<std::unique_ptr<MilterConnection>, ConnectionFailure> loadMessageConnection(
    const Message& message) {
  std::unique_ptr<MilterConnection> connection;
  try {
    connection = std::make_unique<MilterConnection>();
  } catch (const std::bad_alloc&) {
    return Failure(ConnectionFailure::OutOfMemory);
  }
  if (!attachSocket(*connection)) return Failure(ConnectionFailure::NoPipe);
  connection->limits = kDefaultMessageLimits;
  if (auto failure = loadHeaders(message, *connection)) return Failure(*failure);
  loadBody(message, *connection);
  if (connection->message.bodyIncomplete && !passesBodyLimit(message, connection->limits)) {
    return Failure(ConnectionFailure::OutOfMemory);
  }
  return connection;
}

}  // namespace tollbrook::tools
