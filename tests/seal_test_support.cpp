#include "tests/seal_test_support.h"

#include <sys/stat.h>

#include <fstream>

#include "core/base64.h"
#include "core/tag_list.h"
#include "tests/fixture_cache.h"
#include "tests/outside_programs.h"

namespace tollbrook::testing {

ProgramRun runSealOracle(const std::vector<std::string>& args) {
  return runTestScript("seal_oracle.py", args);
}

std::string openssl(const std::vector<std::string>& args) {
  if (programPath(OutsideProgram::Openssl).empty()) return {};
  std::vector<std::string> argv = {std::string(programPath(OutsideProgram::Openssl))};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramRun run = runProgram(argv);
  return run.status == 0 ? run.out : std::string();
}

std::string base64(std::string_view bytes) {
  return base64Encode(bytes).value_or("");
}

std::optional<PrintedSet> parsePrintedSet(const std::string& out) {
  constexpr std::string_view kAar = "ARC-Authentication-Results: ";
  constexpr std::string_view kSeal = "\n\nARC-Seal: ";
  constexpr std::string_view kAms = "\n\nARC-Message-Signature: ";
  if (!out.starts_with(kAar) || !out.ends_with("\n")) return std::nullopt;
  size_t seal = out.find(kSeal);
  size_t ams = out.find(kAms);
  if (seal == std::string::npos || ams == std::string::npos || ams < seal) return std::nullopt;
  PrintedSet set;
  set.aar = out.substr(kAar.size(), seal - kAar.size());
  set.seal = out.substr(seal + kSeal.size(), ams - seal - kSeal.size());
  set.ams = out.substr(ams + kAms.size(), out.size() - 1 - ams - kAms.size());
  return set;
}

std::string placeOnTop(const PrintedSet& set, const std::string& message) {
  std::string crlf;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\n' && (i == 0 || message[i - 1] != '\r')) crlf.push_back('\r');
    crlf.push_back(message[i]);
  }
  return "ARC-Seal: " + set.seal + "\r\nARC-Message-Signature: " + set.ams +
         "\r\nARC-Authentication-Results: " + set.aar + "\r\n" + crlf;
}

// One pass is enough: the space put in can never be part of a fold.
std::string unfolded(std::string value) {
  constexpr std::string_view kFold = "\r\n\t";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = value.find(kFold, from)) != std::string::npos; from = at + kFold.size()) {
    out.append(value, from, at - from).push_back(' ');
  }
  return out.append(value, from);
}

std::string tagOf(std::string_view value, std::string_view name) {
  std::optional<std::string_view> tag = findTag(value, name);
  return tag ? unfolded(std::string(*tag)) : "(absent)";
}

SealWorld& SealWorld::get() {
  static SealWorld world;
  return world;
}

namespace {

// Fills `dir`: dkimpy's chains with their key records, the sealer's key (mode
// 0600, as the tool demands) and all-records.txt with every record.
std::string makeSealWorld(const std::string& dir) {
  ProgramRun chains = runSealOracle({"chains", dir});
  if (chains.status != 0) return "seal_oracle.py chains: " + chains.err;
  std::map<std::string, std::string> records = readRecords(dir + "/records.txt");
  const std::string key = dir + "/seal.pem";
  ProgramRun made = runOracle({"keygen", "2048", key});
  if (made.status != 0) return "arc_oracle.py keygen: " + made.err;
  if (chmod(key.c_str(), 0600) != 0) return "cannot chmod " + key;
  records["sel._domainkey.seal.example"] =
      "v=DKIM1; k=rsa; p=" + made.out.substr(0, made.out.find('\n'));
  std::string lines;
  for (const auto& [name, text] : records) lines += name + "\t" + text + "\n";
  if (!writeFile(dir + "/all-records.txt", lines)) return "cannot write all-records.txt";
  return "";
}

}  // namespace

SealWorld::SealWorld() {
  error_ = missingPrograms({OutsideProgram::Python3, OutsideProgram::Openssl});
  if (!error_.empty()) return;
  auto fixtures = cachedFixture("seal-world",
                                {testScriptPath("seal_oracle.py"), testScriptPath("arc_oracle.py")},
                                makeSealWorld);
  if (!fixtures) {
    error_ = fixtures.error();
    return;
  }
  fixtures_ = *fixtures;
  sealKey_ = fixtures_ + "/seal.pem";
  recordsFile_ = fixtures_ + "/all-records.txt";
  records_ = readRecords(recordsFile_);
}

}  // namespace tollbrook::testing
