// Support for the tests that run real programs beside our own (dkimpy, the
// openssl command line, the built tools): a scratch directory, whole-file
// reads and writes, and a program run with its output captured and a bound on
// how long it may take. Test-thread only.
#ifndef TOLLBROOK_TESTS_PROGRAM_RUN_H_
#define TOLLBROOK_TESTS_PROGRAM_RUN_H_

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tollbrook::testing {

// A directory under /tmp, removed with its files when the object goes. The
// constructor throws std::runtime_error when the directory cannot be made.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // True while the directory is there and writable.
  bool ok() const;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Writes `bytes` to the named file and returns its path.
  std::string write(std::string_view name, std::string_view bytes) const;

 private:
  std::string path_;
};

// Replaces the file at `path` with `bytes`; false when that fails.
bool writeFile(const std::string& path, std::string_view bytes);
// The whole file; empty when it cannot be read.
std::string readFile(const std::string& path);

// Removes the directory at `path` with everything in it.
void removeTree(const std::string& path);

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;        // with a last line of our own when the run was cut short
  bool timedOut = false;  // killed for running past its time limit
};

// Far beyond what any program a test runs needs, and well below the ctest
// timeout, so a hung program fails its test instead of hanging the suite.
inline constexpr std::chrono::milliseconds kProgramTimeLimit{60'000};

struct ProgramOptions {
  const char* stdinPath = "/dev/null";
  const char* stdoutPath = nullptr;      // standard output to this file; out stays empty
  std::vector<std::string> environment;  // NAME=value, added to (or replacing in) ours
  std::chrono::milliseconds timeLimit = kProgramTimeLimit;
};

// Runs argv[0] (a path) with the rest as arguments and collects both outputs.
// A program still running at the time limit is killed (SIGKILL) and reaped;
// the run then has status -1, timedOut, and says so at the end of err.
ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options);

// runProgram with standard input from /dev/null; with `stdoutPath`, standard
// output goes to that file instead (out stays empty).
ProgramRun runProgram(const std::vector<std::string>& argv, const char* stdoutPath = nullptr);

// runProgram with `input` as standard input, passed through a file in `dir`.
ProgramRun runProgramWithInput(const ScratchDir& dir, const std::vector<std::string>& argv,
                               std::string_view input);

// The built program tools/<name>.
std::string toolPath(std::string_view name);

// The path of tests/<script> in the source tree.
std::string testScriptPath(std::string_view script);

// tests/<script> with these arguments, run by the python3 that has dkimpy
// (tests/outside_programs.h); the script finds openssl in TOLLBROOK_OPENSSL.
// Status -1 and the missing program named in err when there is no such python3.
ProgramRun runTestScript(std::string_view script, const std::vector<std::string>& args,
                         ProgramOptions options = {});

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_PROGRAM_RUN_H_
