// Support for the tests that run real programs beside our own: a scratch
// directory, a program run with its output captured, key records in the form
// dnsmasq takes them (tests/dns_dnsmasq.h runs it), and dkimpy through
// tests/arc_oracle.py.
// Test-thread only.
#ifndef TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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
// /dev/null, and collects both outputs; with `stdoutPath`, standard output
// goes to that file instead (out stays empty).
ProgramRun runProgram(const std::vector<std::string>& argv, const char* stdoutPath = nullptr);

// The built program tools/<name>.
std::string toolPath(std::string_view name);
// The built tollbrook-check.
std::string checkToolPath();

// /usr/bin/python3 tests/<script> with these arguments.
ProgramRun runTestScript(std::string_view script, const std::vector<std::string>& args);
// runTestScript("arc_oracle.py", args).
ProgramRun runOracle(const std::vector<std::string>& args);

// dnsmasq --txt-record values ("name,text") for records of name -> text.
std::vector<std::string> dnsmasqRecords(const std::map<std::string, std::string>& records);

// "name<TAB>text" lines, as arc_oracle.py writes records.txt.
std::map<std::string, std::string> readRecords(const std::string& path);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
