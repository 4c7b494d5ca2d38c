#include "tests/program_run.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tollbrook::testing {
namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// Reads both pipes until they close, so neither can fill up and stall the child.
void drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
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
}

ProgramRun spawnAndCollect(const std::vector<std::string>& argvIn, const char* stdinPath,
                           const char* stdoutPath) {
  std::vector<std::string> args = argvIn;
  std::vector<char*> argv = argvOf(args);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdinPath, O_RDONLY, 0);
  if (stdoutPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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
  drain(out[0], err[0], run.out, run.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

ScratchDir::ScratchDir() {
  char name[] = "/tmp/tollbrook-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

ScratchDir::~ScratchDir() {
  nftw(path_.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
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

ProgramRun runProgram(const std::vector<std::string>& argv, const char* stdoutPath) {
  return spawnAndCollect(argv, "/dev/null", stdoutPath);
}

ProgramRun runProgramWithInput(const ScratchDir& dir, const std::vector<std::string>& argv,
                               std::string_view input) {
  std::string inputPath = dir.file("program.in");
  if (!writeFile(inputPath, input)) return {};
  return spawnAndCollect(argv, inputPath.c_str(), nullptr);
}

std::string toolPath(std::string_view name) {
  return std::string(TOLLBROOK_BINARY_DIR) + "/tools/" + std::string(name);
}

ProgramRun runTestScript(std::string_view script, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", std::string(TOLLBROOK_SOURCE_DIR) + "/tests/" + std::string(script)};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv);
}

}  // namespace tollbrook::testing
