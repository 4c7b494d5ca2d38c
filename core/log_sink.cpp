#include "core/log_sink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/clock.h"
#include "core/log.h"
#include "platform/io.h"
#include "platform/socket_options.h"
#include "platform/syslog_socket.h"
#include "platform/unix_address.h"

namespace tollbrook {

namespace {

thread_local int threadLogSocket = -1;
thread_local int64_t threadPid = 0;
// Whether this thread asked for a syslog socket (openThreadLog with the syslog
// sink, not yet closed), and the earliest moment of its next reconnection.
thread_local bool threadWantsSyslog = false;
thread_local int64_t threadNextReconnectMs = 0;

// A syslog daemon that restarts replaces its socket: our connected socket then
// points at nothing, and so would every later line. Reconnecting at most once
// a second keeps a daemon that stays away from costing a socket and a connect
// per line on the hot path.
constexpr int64_t kReconnectIntervalMs = 1000;

// Process-wide, set before threads start (like LogSettings). An unusable path
// leaves the address invalid, so no thread gets a socket.
struct SyslogTarget {
  UnixAddress address;
  bool valid = false;
};

SyslogTarget& syslogTarget() {
  static SyslogTarget target = [] {
    SyslogTarget initial;
    initial.valid = makeUnixAddress(kSyslogSocketPath, initial.address);
    return initial;
  }();
  return target;
}

int connectSyslogSocket() {
  const SyslogTarget& target = syslogTarget();
  if (!target.valid) return -1;
  auto socket = openSocket(AF_UNIX, SOCK_DGRAM);
  if (!socket) return -1;
  if (!setNonBlocking(socket->get()) ||
      ::connect(socket->get(), target.address.get(), target.address.length) < 0) {
    return -1;
  }
  return socket->release();
}

// A log line has nowhere to report its own failure.
void writeIgnoringFailure(int fd, std::string_view bytes) {
  (void)writeAll(fd, bytes);
}

// The errors of a socket whose receiver went away (or was never there), as
// opposed to a full buffer (EAGAIN), which only loses the line.
bool receiverIsGone(int error) {
  return error == ECONNREFUSED || error == ENOTCONN || error == ENOENT || error == EDESTADDRREQ ||
         error == ECONNRESET;
}

bool sendDatagram(std::string_view line) {
  return threadLogSocket >= 0 &&
         ::send(threadLogSocket, line.data(), line.size(), MSG_NOSIGNAL) >= 0;
}

// Replaces this thread's socket with a fresh connection, unless it tried less
// than a second ago. True when the thread now holds a socket.
bool reconnectThrottled() {
  const int64_t now = monotonicMilliseconds();
  if (now < threadNextReconnectMs) return false;
  threadNextReconnectMs = now + kReconnectIntervalMs;
  if (threadLogSocket >= 0) ::close(threadLogSocket);
  threadLogSocket = connectSyslogSocket();
  return threadLogSocket >= 0;
}

void sendToSyslog(std::string_view line) {
  if (!threadWantsSyslog || line.empty()) return;
  // One datagram per line; a full buffer loses the line.
  if (sendDatagram(line)) return;
  if (threadLogSocket >= 0 && !receiverIsGone(errno)) return;
  if (reconnectThrottled()) (void)sendDatagram(line);
}

// The line and its newline leave in one write: with two writes, lines that
// threads log at the same moment could interleave as "AB\n\n".
void writeToStderr(std::string_view line) {
  if (!line.empty() && line.front() == '<') {
    size_t close = line.find('>');
    if (close != std::string_view::npos) line.remove_prefix(close + 1);
  }
  char withNewline[LogLine::kMaxLine + 1];
  const size_t length = std::min(line.size(), LogLine::kMaxLine);
  std::memcpy(withNewline, line.data(), length);
  withNewline[length] = '\n';
  writeIgnoringFailure(STDERR_FILENO, std::string_view(withNewline, length + 1));
}

}  // namespace

int64_t threadLogPid() {
  return threadPid;
}

void deliverLogLine(std::string_view line) {
  if (logSettings().sink == LogSink::Syslog) {
    sendToSyslog(line);
  } else {
    writeToStderr(line);
  }
}

void openThreadLog() {
  threadPid = static_cast<int64_t>(::getpid());
  // A thread that opens again (the main thread after detaching) replaces its
  // earlier socket rather than leaking it.
  closeThreadLog();
  if (logSettings().sink != LogSink::Syslog) return;
  threadWantsSyslog = true;
  threadLogSocket = connectSyslogSocket();
  // A syslog daemon missing now may start later: try again after a pause. A
  // connected thread reconnects at once on its first failed line.
  threadNextReconnectMs = threadLogSocket >= 0 ? 0 : monotonicMilliseconds() + kReconnectIntervalMs;
}

void closeThreadLog() {
  if (threadLogSocket >= 0) ::close(threadLogSocket);
  threadLogSocket = -1;
  threadWantsSyslog = false;
}

bool threadHasLogSocket() {
  return threadLogSocket >= 0;
}

void setSyslogSocketPath(std::string_view path) {
  SyslogTarget& target = syslogTarget();
  target.valid = makeUnixAddress(path, target.address);
}

}  // namespace tollbrook
