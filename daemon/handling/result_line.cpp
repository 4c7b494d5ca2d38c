#include "daemon/handling/result_line.h"

#include "core/log.h"

namespace tollbrook {

std::string_view resultLineClient(const MilterConnection& connection) {
  if (connection.clientAddr && !connection.clientAddr->empty()) return *connection.clientAddr;
  if (connection.connectAddress && !connection.connectAddress->empty()) {
    return *connection.connectAddress;
  }
  return "unknown";
}

void logResultLine(const MilterConnection& connection, ListenerMode mode, int64_t elapsedMs) {
  const std::optional<std::string>& queueId = connection.message.queueId;
  logMessage(Severity::Info, "id=", SafeText{queueId ? std::string_view(*queueId) : ""},
             " peer=", connectionLabel(connection, LabelForm::Sanitised).text(),
             " client=", SafeText{resultLineClient(connection)},
             " listener=", connection.listenerIndex, " mode=", listenerModeWord(mode),
             " elapsed=", elapsedMs, "ms");
}

}  // namespace tollbrook
