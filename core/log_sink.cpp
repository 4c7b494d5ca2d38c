#include "core/log_sink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "platform/io.h"
#include "platform/socket_options.h"
#include "platform/syslog_socket.h"
#include "platform/unix_address.h"

namespace tollbrook {

namespace {

thread_local int threadLogSocket = -1;
thread_local int64_t threadPid = 0;

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

void sendToSyslog(std::string_view line) {
  if (threadLogSocket < 0 || line.empty()) return;
  // One datagram per line; a full buffer or a vanished daemon loses the line.
  (void)::send(threadLogSocket, line.data(), line.size(), MSG_NOSIGNAL);
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
  if (logSettings().sink == LogSink::Syslog) threadLogSocket = connectSyslogSocket();
}

void closeThreadLog() {
  if (threadLogSocket >= 0) ::close(threadLogSocket);
  threadLogSocket = -1;
}

bool threadHasLogSocket() {
  return threadLogSocket >= 0;
}

void setSyslogSocketPath(std::string_view path) {
  SyslogTarget& target = syslogTarget();
  target.valid = makeUnixAddress(path, target.address);
}

}  // namespace tollbrook
