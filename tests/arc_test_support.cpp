#include "tests/arc_test_support.h"

#include <sstream>
#include <stdexcept>

namespace tollbrook::testing {

std::string checkToolPath() {
  return toolPath("tollbrook-check");
}

ProgramRun runOracle(const std::vector<std::string>& args) {
  return runTestScript("arc_oracle.py", args);
}

std::vector<std::string> dnsmasqRecords(const std::map<std::string, std::string>& records) {
  std::vector<std::string> options;
  for (const auto& [name, text] : records) {
    // dnsmasq splits a value at commas into character-strings; key records hold none.
    if (text.find(',') != std::string::npos) throw std::invalid_argument("comma in " + text);
    options.push_back(name + "," + text);
  }
  return options;
}

std::map<std::string, std::string> readRecords(const std::string& path) {
  std::map<std::string, std::string> records;
  std::istringstream lines(readFile(path));
  std::string line;
  while (std::getline(lines, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) records[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return records;
}

}  // namespace tollbrook::testing
