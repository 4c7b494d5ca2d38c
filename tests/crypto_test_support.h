// Helpers for the crypto tests that drive outside programs (dkimpy, the
// openssl command line): a temporary directory removed on destruction, and a
// runner that feeds a program a file as standard input and collects its output.
// Single-threaded test use only.
#ifndef TOLLBROOK_TESTS_CRYPTO_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_CRYPTO_TEST_SUPPORT_H_

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tollbrook::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tollbrook-crypto-XXXXXX");
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline bool writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CommandResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] (an absolute path) with `input` as standard input; output goes
// through files in `dir`, so no pipe can fill up and stall either side.
inline CommandResult runCommand(const TempDir& dir, const std::vector<std::string>& argv,
                                std::string_view input = {}) {
  CommandResult result;
  const std::string in = dir.file("cmd.in"), out = dir.file("cmd.out"), err = dir.file("cmd.err");
  if (!writeFile(in, input)) return result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int fds[3] = {open(in.c_str(), O_RDONLY),
                        open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                        open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; ++i) {
      if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(127);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_CRYPTO_TEST_SUPPORT_H_
