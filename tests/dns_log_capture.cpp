#include "tests/dns_log_capture.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/syslog_socket.h"
#include "platform/unix_address.h"

namespace tollbrook::testing {

namespace {

std::string severityWord(int severity) {
  switch (severity) {
    case 3:
      return "err";
    case 4:
      return "warning";
    case 6:
      return "info";
    case 7:
      return "debug";
    default:
      return "severity" + std::to_string(severity);
  }
}

// "<P>ident[pid]: message" -> "word message".
std::string describeLine(const std::string& line) {
  size_t close = line.find('>');
  size_t colon = line.find("]: ");
  if (line.empty() || line[0] != '<' || close == std::string::npos || colon == std::string::npos) {
    return "unparsed " + line;
  }
  int priority = std::stoi(line.substr(1, close - 1));
  return severityWord(priority % 8) + " " + line.substr(colon + 3);
}

}  // namespace

LogCapture::LogCapture() : saved_(logSettings()) {
  char pattern[] = "/tmp/tollbrook-dns-log-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  path_ = directory_ + "/log";
  UnixAddress address;
  if (!makeUnixAddress(path_, address)) return;
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0 || bind(fd_, address.get(), address.length) != 0) return;
  logSettings().sink = LogSink::Syslog;
  logSettings().level = 7;
  setSyslogSocketPath(path_);
  closeThreadLog();
  openThreadLog();
}

LogCapture::~LogCapture() {
  closeThreadLog();
  logSettings() = saved_;
  setSyslogSocketPath(kSyslogSocketPath);
  if (fd_ >= 0) close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
  if (!directory_.empty()) rmdir(directory_.c_str());
}

std::vector<std::string> LogCapture::take() {
  std::vector<std::string> lines;
  char buffer[2048];
  while (fd_ >= 0) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) break;
    lines.push_back(describeLine(std::string(buffer, static_cast<size_t>(n))));
  }
  return lines;
}

std::string LogCapture::takeJoined() {
  std::string joined;
  for (const std::string& line : take()) joined += (joined.empty() ? "" : "\n") + line;
  return joined;
}

}  // namespace tollbrook::testing
