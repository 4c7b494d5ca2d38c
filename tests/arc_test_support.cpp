#include "tests/arc_test_support.h"

#include <sstream>
#include <stdexcept>

#include "tests/fixture_cache.h"

namespace tollbrook::testing {

std::string checkToolPath() {
  return toolPath("tollbrook-check");
}

ProgramRun runOracle(const std::vector<std::string>& args) {
  return runTestScript("arc_oracle.py", args);
}

std::expected<std::string, std::string> arcFixtures() {
  return cachedFixture(
      "arc-fixtures", {testScriptPath("arc_oracle.py")}, [](const std::string& dir) -> std::string {
        ProgramRun made = runOracle({"fixtures", dir});
        if (made.status == 0) return "";
        return "arc_oracle.py fixtures: status " + std::to_string(made.status) + ": " + made.err;
      });
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
