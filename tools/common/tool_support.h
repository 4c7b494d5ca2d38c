// What every command-line tool shares: its error exit ("{tool}: {message}" on
// standard error, status 2), SIGPIPE ignored so a closed pipe is a write error
// rather than a silent death, standard-error logging under the tool's name,
// whole writes to standard output, the reading of option values and what a
// command line can ask for.
// The tools are single-threaded; call these from the main thread.
#ifndef TOLLBROOK_TOOLS_COMMON_TOOL_SUPPORT_H_
#define TOLLBROOK_TOOLS_COMMON_TOOL_SUPPORT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/error.h"

namespace tollbrook::tools {

inline constexpr int kExitCannotRun = 2;

// Writes "{tool}: {message}" and LF to standard error and exits with status 2.
[[noreturn]] void exitWithError(std::string_view tool, std::string_view message);

// Ignores SIGPIPE for the rest of the process.
void ignoreSigpipe();

// Logging to standard error under `ident`, showing severities up to `level`
// (3, err, by default: the resolver's warnings and debug lines stay quiet).
// No pid is recorded, so the lines read "{ident}[0]: ...".
void useStderrLogging(std::string_view ident, uint8_t level = 3);

// Writes all of `text` to standard output, retrying short and interrupted
// writes. Error: the errno kind of the failed write (BrokenPipe, ...).
[[nodiscard]] Status writeStandardOutput(std::string_view text);

// writeStandardOutput, or on failure exitWithError(tool, "cannot write to
// standard output: {error kind}"): output that was not written must not end
// with status 0.
void writeStandardOutputOrExit(std::string_view tool, std::string_view text);

// Calls run(argc, argv) and returns its status; an allocation failure that
// reaches this far ends with exitWithError(tool, "out of memory").
int runTool(std::string_view tool, int (*run)(int, char**), int argc, char** argv);

// The command line read left to right, one argument at a time.
class Arguments {
 public:
  Arguments(int argc, char** argv);

  bool done() const { return next_ >= args_.size(); }
  // The next argument; call only when !done().
  std::string_view take();
  // The value of `option`, just taken: the following argument whatever it
  // looks like, or nullopt when the option came last.
  std::optional<std::string_view> takeValue();

 private:
  std::span<char*> args_;
  size_t next_ = 0;
};

// "missing argument for {option}".
std::string missingArgumentMessage(std::string_view option);

// What a command line asks for: the usage text, a run with the tool's
// options, or an error message to exit with.
struct ShowUsage {};
struct OptionError {
  std::string message;
};
template <typename Options>
using ToolCommand = std::variant<ShowUsage, Options, OptionError>;

}  // namespace tollbrook::tools

#endif  // TOLLBROOK_TOOLS_COMMON_TOOL_SUPPORT_H_
