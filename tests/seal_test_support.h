// Support for the tests of tollbrook-seal and tollbrook-testkey that run the
// built tools beside dkimpy (tests/seal_oracle.py), openssl and dnsmasq: the
// tools' paths, dkimpy-made chains with their key records and the sealer's own
// key, and the placing of a printed set on top of its message. Test thread only.
// The openssl command line is the one tests/outside_programs.h names.
#ifndef TOLLBROOK_TESTS_SEAL_TEST_SUPPORT_H_
#define TOLLBROOK_TESTS_SEAL_TEST_SUPPORT_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/arc_test_support.h"

namespace tollbrook::testing {

// runTestScript("seal_oracle.py", args).
ProgramRun runSealOracle(const std::vector<std::string>& args);

// The standard output of the openssl command line with these arguments
// (empty when it fails).
std::string openssl(const std::vector<std::string>& args);

// Base64 of `bytes`, as a DNS key record's p= holds it.
std::string base64(std::string_view bytes);

// The three fields tollbrook-seal prints, values without their names.
struct PrintedSet {
  std::string aar, seal, ams;
};
std::optional<PrintedSet> parsePrintedSet(const std::string& out);

// The message with the set on top, in the order a sealer inserts it: ARC-Seal,
// ARC-Message-Signature, ARC-Authentication-Results; CR LF line ends.
std::string placeOnTop(const PrintedSet& set, const std::string& message);

// A tag of a header value, unfolded; "(absent)" when the tag is missing.
std::string tagOf(std::string_view value, std::string_view name);
std::string unfolded(std::string value);

// dkimpy-made messages (see tests/seal_oracle.py) and the sealer's key
// (selector "sel", domain "seal.example"), made once for every test process of
// the build (tests/fixture_cache.h) and found once per process.
class SealWorld {
 public:
  static SealWorld& get();

  bool ok() const { return error_.empty(); }
  // Why the world could not be made (a missing program, the oracle's complaint).
  const std::string& error() const { return error_; }
  // The shared files: read them, never change them.
  std::string message(const std::string& name) const { return fixtures_ + "/" + name + ".eml"; }
  const std::string& sealKey() const { return sealKey_; }
  // Every key record: dkimpy's hops and the sealer's.
  const std::map<std::string, std::string>& records() const { return records_; }
  // records() as "name<TAB>text" lines, for seal_oracle.py.
  const std::string& recordsFile() const { return recordsFile_; }
  // This process's own directory, for the files a test writes.
  const ScratchDir& dir() const { return dir_; }

 private:
  SealWorld();

  ScratchDir dir_;
  std::string error_;
  std::string fixtures_;
  std::string sealKey_;
  std::map<std::string, std::string> records_;
  std::string recordsFile_;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_SEAL_TEST_SUPPORT_H_
