// Where the outside programs the tests run beside our own live (python3 with
// dkimpy, the openssl command line, dnsmasq, Postfix's commands, useradd and
// userdel), as the build found them, and the one way a test skips when one is
// missing. The paths are constants of the build (cmake/TollbrookTests.cmake);
// any thread may read them.
#ifndef TOLLBROOK_TESTS_OUTSIDE_PROGRAMS_H_
#define TOLLBROOK_TESTS_OUTSIDE_PROGRAMS_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace tollbrook::testing {

enum class OutsideProgram {
  Python3,  // a python3 that can import dkimpy: it runs the tests/*.py oracles
  Openssl,
  Dnsmasq,
  Postfix,  // with PostfixSendmail and Postqueue: a private Postfix instance
  PostfixSendmail,
  Postqueue,
  Useradd,  // with Userdel: a throwaway system user for the privilege drop
  Userdel,
};

// The program's path; empty when the build did not find it (or was told to
// go without it, e.g. -DTOLLBROOK_DNSMASQ=).
inline std::string_view programPath(OutsideProgram program) {
  switch (program) {
    case OutsideProgram::Python3:
      return TOLLBROOK_PYTHON3;
    case OutsideProgram::Openssl:
      return TOLLBROOK_OPENSSL;
    case OutsideProgram::Dnsmasq:
      return TOLLBROOK_DNSMASQ;
    case OutsideProgram::Postfix:
      return TOLLBROOK_POSTFIX;
    case OutsideProgram::PostfixSendmail:
      return TOLLBROOK_POSTFIX_SENDMAIL;
    case OutsideProgram::Postqueue:
      return TOLLBROOK_POSTQUEUE;
    case OutsideProgram::Useradd:
      return TOLLBROOK_USERADD;
    case OutsideProgram::Userdel:
      return TOLLBROOK_USERDEL;
  }
  return {};
}

// What to say, and what to install, when the program is missing.
inline std::string_view missingText(OutsideProgram program) {
  switch (program) {
    case OutsideProgram::Python3:
      return "python3 with dkimpy not found; install python3 and python3-dkim";
    case OutsideProgram::Openssl:
      return "openssl not found; install openssl";
    case OutsideProgram::Dnsmasq:
      return "dnsmasq not found; install dnsmasq-base";
    case OutsideProgram::Postfix:
      return "postfix not found in /usr/sbin; install postfix (scripts/install-deps.sh does)";
    case OutsideProgram::PostfixSendmail:
      return "Postfix's sendmail not found in /usr/sbin; install postfix";
    case OutsideProgram::Postqueue:
      return "postqueue not found in /usr/sbin; install postfix";
    case OutsideProgram::Useradd:
      return "useradd not found; install passwd";
    case OutsideProgram::Userdel:
      return "userdel not found; install passwd";
  }
  return {};
}

// The missing texts of those of `programs` the build did not find, joined by
// "; and "; empty when every one is there.
inline std::string missingPrograms(std::initializer_list<OutsideProgram> programs) {
  std::string missing;
  for (OutsideProgram program : programs) {
    if (!programPath(program).empty()) continue;
    if (!missing.empty()) missing += "; and ";
    missing += missingText(program);
  }
  return missing;
}

}  // namespace tollbrook::testing

// Skips the running test, naming what to install, unless every program named
// is there. For a test body or SetUp():
//   TOLLBROOK_SKIP_WITHOUT(OutsideProgram::Python3, OutsideProgram::Dnsmasq);
// SetUpTestSuite() should rather test missingPrograms() and start nothing:
// the skip belongs to each test.
#define TOLLBROOK_SKIP_WITHOUT(...)                                                                \
  if (const std::string tollbrook_missing_ = ::tollbrook::testing::missingPrograms({__VA_ARGS__}); \
      tollbrook_missing_.empty()) {                                                                \
  } else                                                                                           \
    GTEST_SKIP() << tollbrook_missing_

#endif  // TOLLBROOK_TESTS_OUTSIDE_PROGRAMS_H_
