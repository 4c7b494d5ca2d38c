// Support for the tests that run real programs beside our own: a scratch
// directory, a program run with its output captured, dnsmasq serving key
// records on a loopback port it picks, and dkimpy through tests/arc_oracle.py.
// Test-thread only.
#ifndef TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tollbrook::testing {

// A directory under /tmp, removed with its files when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` to the named file and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with the rest as arguments, standard input from
// /dev/null, and collects both outputs.
ProgramRun runProgram(const std::vector<std::string>& argv);

// The built tollbrook-check.
std::string checkToolPath();
// /usr/bin/python3 tests/arc_oracle.py with these arguments.
ProgramRun runOracle(const std::vector<std::string>& args);

// dnsmasq on 127.0.0.1 answering TXT records (name -> text; texts over 255
// bytes are split into character-strings) and NXDOMAIN for other names under
// .example. running() is false when it could not be started.
class Dnsmasq {
 public:
  explicit Dnsmasq(const std::map<std::string, std::string>& records);
  ~Dnsmasq();
  Dnsmasq(const Dnsmasq&) = delete;
  Dnsmasq& operator=(const Dnsmasq&) = delete;

  bool running() const { return pid_ != 0; }
  uint16_t port() const { return port_; }

 private:
  bool spawn(const std::map<std::string, std::string>& records);
  bool waitReady();
  void stop();

  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

// A loopback port free for UDP and TCP at the time of the call; 0 if none.
uint16_t pickLoopbackPort();

// "name<TAB>text" lines, as arc_oracle.py writes records.txt.
std::map<std::string, std::string> readRecords(const std::string& path);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
