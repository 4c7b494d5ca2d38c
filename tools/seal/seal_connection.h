// Hands a message file to the daemon's per-message handling: a milter
// connection record is made for it and its header fields and body are
// accumulated exactly as the daemon accumulates them from an MTA, under the
// daemon's default limits. The seal tool then seals from that copy, so it signs
// what the daemon would sign, and refuses what the daemon would not seal: a
// body over MaxBodyBytes is abandoned (bodyIncomplete) and the builder names
// it. Main thread; the caller owns the connection.
#ifndef TOLLBROOK_TOOLS_SEAL_SEAL_CONNECTION_H_
#define TOLLBROOK_TOOLS_SEAL_SEAL_CONNECTION_H_

#include <cstdint>
#include <expected>
#include <memory>

#include "core/message.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook::tools {

enum class ConnectionFailure : uint8_t {
  NoPipe,        // the descriptor pair could not be made
  OutOfMemory,   // the record, a header copy or the body copy within its limit failed
  HeaderLimits,  // the header block passes MaxHeaders or MaxHeaderBytes
};

// Body chunks are fed as an MTA sends them: at most 65,535 bytes each.
inline constexpr size_t kBodyChunkSize = 65535;

[[nodiscard]] std::expected<std::unique_ptr<MilterConnection>, ConnectionFailure>
loadMessageConnection(const Message& message);

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_SEAL_SEAL_CONNECTION_H_
