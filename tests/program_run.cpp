#include "tests/program_run.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/outside_programs.h"

extern char** environ;

namespace tollbrook::testing {
namespace {

using Clock = std::chrono::steady_clock;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

bool setsVariable(const std::string& entry, std::string_view name) {
  return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
}

// Our environment, with `extra` (NAME=value) added or replacing what we have.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string_view name = text.substr(0, text.find('='));
    bool replaced = std::any_of(extra.begin(), extra.end(),
                                [&](const std::string& e) { return setsVariable(e, name); });
    if (!replaced) entries.emplace_back(text);
  }
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

// Milliseconds left until `deadline`, for poll(): 0 once it has passed.
int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Reads both pipes until they close, so neither can fill up and stall the
// child. False when the deadline came first; the pipes are closed either way.
bool drainUntil(int outFd, int errFd, std::string& out, std::string& err,
                Clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  bool finished = true;
  char buffer[4096];
  while (open > 0) {
    int wait = millisecondsUntil(deadline);
    if (wait == 0) {
      finished = false;
      break;
    }
    int ready = poll(fds, 2, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  return finished;
}

// The exit status (-1: did not exit normally) once `pid` has ended; nullopt
// when it still runs at the deadline (a program may close its outputs and
// carry on).
std::optional<int> reapBy(pid_t pid, Clock::time_point deadline) {
  while (true) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (got < 0 && errno != EINTR) return -1;  // reaped elsewhere: its status is lost
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The child leads its own process group, so whatever it started goes with it.
void killAndReap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void noteTimeout(ProgramRun& run, const std::string& program, std::chrono::milliseconds limit) {
  run.status = -1;
  run.timedOut = true;
  if (!run.err.empty() && !run.err.ends_with('\n')) run.err.push_back('\n');
  run.err += "runProgram: " + program + " did not finish within " + std::to_string(limit.count()) +
             " ms; killed it\n";
}

ProgramRun spawnAndCollect(const std::vector<std::string>& argvIn, const ProgramOptions& options) {
  std::vector<std::string> args = argvIn;
  std::vector<char*> argv = pointersTo(args);
  std::vector<std::string> environment = environmentWith(options.environment);
  std::vector<char*> envp = pointersTo(environment);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.stdinPath, O_RDONLY, 0);
  if (options.stdoutPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdoutPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const Clock::time_point deadline = Clock::now() + options.timeLimit;
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  ProgramRun run;
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    run.err = "cannot start " + args[0];
    return run;
  }
  std::optional<int> status;
  if (drainUntil(out[0], err[0], run.out, run.err, deadline)) status = reapBy(pid, deadline);
  if (!status) {
    killAndReap(pid);
    noteTimeout(run, args[0], options.timeLimit);
    return run;
  }
  run.status = *status;
  return run;
}

}  // namespace

ScratchDir::ScratchDir() {
  char name[] = "/tmp/tollbrook-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

ScratchDir::~ScratchDir() {
  removeTree(path_);
}

void removeTree(const std::string& path) {
  nftw(path.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

bool ScratchDir::ok() const {
  return access(path_.c_str(), W_OK | X_OK) == 0;
}

std::string ScratchDir::write(std::string_view name, std::string_view bytes) const {
  std::string path = file(name);
  writeFile(path, bytes);
  return path;
}

bool writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProgramRun runProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
  return spawnAndCollect(argv, options);
}

ProgramRun runProgram(const std::vector<std::string>& argv, const char* stdoutPath) {
  ProgramOptions options;
  options.stdoutPath = stdoutPath;
  return spawnAndCollect(argv, options);
}

ProgramRun runProgramWithInput(const ScratchDir& dir, const std::vector<std::string>& argv,
                               std::string_view input) {
  std::string inputPath = dir.file("program.in");
  if (!writeFile(inputPath, input)) return {};
  ProgramOptions options;
  options.stdinPath = inputPath.c_str();
  return spawnAndCollect(argv, options);
}

std::string toolPath(std::string_view name) {
  return std::string(TOLLBROOK_BINARY_DIR) + "/tools/" + std::string(name);
}

ProgramRun runTestScript(std::string_view script, const std::vector<std::string>& args,
                         ProgramOptions options) {
  std::string_view python = programPath(OutsideProgram::Python3);
  if (python.empty()) {
    ProgramRun missing;
    missing.err = missingText(OutsideProgram::Python3);
    return missing;
  }
  std::vector<std::string> argv = {std::string(python), testScriptPath(script)};
  argv.insert(argv.end(), args.begin(), args.end());
  options.environment.push_back("TOLLBROOK_OPENSSL=" +
                                std::string(programPath(OutsideProgram::Openssl)));
  return runProgram(argv, options);
}

std::string testScriptPath(std::string_view script) {
  return std::string(TOLLBROOK_SOURCE_DIR) + "/tests/" + std::string(script);
}

}  // namespace tollbrook::testing
