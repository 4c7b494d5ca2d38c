// Support for the tests of ARC validation that run real programs (see
// tests/program_run.h): the built tollbrook-check, dkimpy through
// tests/arc_oracle.py and the chains it makes, and key records in the form
// dnsmasq takes them (tests/dns_dnsmasq.h runs it). Test-thread only.
#ifndef TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_

#include <expected>
#include <map>
#include <string>
#include <vector>

#include "tests/program_run.h"

namespace tollbrook::testing {

// The built tollbrook-check.
std::string checkToolPath();
// runTestScript("arc_oracle.py", args).
ProgramRun runOracle(const std::vector<std::string>& args);

// The directory of the chains `arc_oracle.py fixtures` writes (<case>.eml,
// records.txt, dkimpy.txt), made once for every test process of the build
// (tests/fixture_cache.h): read its files, never change them. The oracle's
// complaint when it cannot make them.
std::expected<std::string, std::string> arcFixtures();

// dnsmasq --txt-record values ("name,text") for records of name -> text.
std::vector<std::string> dnsmasqRecords(const std::map<std::string, std::string>& records);

// "name<TAB>text" lines, as arc_oracle.py writes records.txt.
std::map<std::string, std::string> readRecords(const std::string& path);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_ARC_TEST_SUPPORT_H_
