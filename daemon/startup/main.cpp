// tollbrook: the ARC milter daemon. Usage: tollbrook -c <config-file>.
#include <span>

#include "daemon/startup/daemon.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  // Before anything is written: a reader that went away must cost a failed
  // write, never the process. Should the handler not install, start-up goes
  // on; the sockets' writes say MSG_NOSIGNAL.
  (void)tollbrook::catchBrokenPipeSignal();
  std::span<const char* const> arguments(argv + (argc > 0 ? 1 : 0),
                                         argc > 0 ? static_cast<size_t>(argc - 1) : 0);
  tollbrook::Status status = tollbrook::runDaemon(arguments);
  if (!status) {
    tollbrook::reportFatalStartupError(status.error());
    return 1;
  }
  return 0;
}
