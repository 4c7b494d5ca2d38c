#include "tools/common/tool_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <string>

#include "core/log.h"
#include "platform/io.h"

namespace tollbrook::tools {

void exitWithError(std::string_view tool, std::string_view message) {
  {
    StderrWriter err;
    err.write(tool);
    err.write(": ");
    err.write(message);
    err.write("\n");
  }
  std::_Exit(kExitCannotRun);
}

void ignoreSigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

void useStderrLogging(std::string_view ident, uint8_t level) {
  LogSettings& settings = logSettings();
  settings.sink = LogSink::Stderr;
  settings.level = level;
  setLogIdent(ident);
  // No openThreadLog(): the stderr sink needs no socket, and a tool's lines
  // carry no process id (the pid field stays 0).
}

Status writeStandardOutput(std::string_view text) {
  return writeAll(STDOUT_FILENO, text);
}

void writeStandardOutputOrExit(std::string_view tool, std::string_view text) {
  if (Status written = writeStandardOutput(text); !written) {
    exitWithError(tool, std::string("cannot write to standard output: ") +
                            std::string(errorName(written.error())));
  }
}

int runTool(std::string_view tool, int (*run)(int, char**), int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    exitWithError(tool, "out of memory");
  }
}

Arguments::Arguments(int argc, char** argv)
    : args_(argv + (argc > 0 ? 1 : 0), argc > 1 ? static_cast<size_t>(argc - 1) : 0) {}

std::string_view Arguments::take() {
  return args_[next_++];
}

std::optional<std::string_view> Arguments::takeValue() {
  if (done()) return std::nullopt;
  return take();
}

std::string missingArgumentMessage(std::string_view option) {
  std::string message = "missing argument for ";
  message.append(option);
  return message;
}

}  // namespace tollbrook::tools
