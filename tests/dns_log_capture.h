// Test-only capture of the log lines the calling thread emits: points the
// syslog sink at a datagram socket of the test's own (debug level) and reads
// the lines back as "severity text". Restores the log settings on destruction.
#ifndef TOLLBROOK_TESTS_DNS_LOG_CAPTURE_H_
#define TOLLBROOK_TESTS_DNS_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "core/log.h"

namespace tollbrook::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines since the last call, each as "debug dns: cache miss x" (severity word
  // err, warning, info or debug, a space, the message after the prefix).
  std::vector<std::string> take();
  // The lines since the last call joined with "\n", for EXPECT messages.
  std::string takeJoined();

 private:
  LogSettings saved_;
  std::string directory_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DNS_LOG_CAPTURE_H_
