// runProgram as the other tests lean on it: outputs, status and environment
// come back, and a program that does not finish in time is killed and reaped,
// whatever it does with its outputs, so that it cannot hang a test.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/program_run.h"

namespace tollbrook::testing {
namespace {

using std::chrono::milliseconds;

std::string show(const ProgramRun& run) {
  return "status " + std::to_string(run.status) + (run.timedOut ? " (timed out)" : "") +
         ", stdout \"" + run.out + "\", stderr \"" + run.err + "\"";
}

ProgramRun shell(const std::string& script, ProgramOptions options = {}) {
  return runProgram({"/bin/sh", "-c", script}, options);
}

ProgramOptions limitedTo(milliseconds limit) {
  ProgramOptions options;
  options.timeLimit = limit;
  return options;
}

TEST(RunProgram, CollectsOutputsStatusAndEnvironment) {
  struct Case {
    std::string script;
    std::vector<std::string> environment;
    ProgramRun want;
  };
  const Case cases[] = {
      {"echo out; echo err >&2; exit 3", {}, {3, "out\n", "err\n"}},
      {"echo \"$TB_ADDED\"", {"TB_ADDED=added"}, {0, "added\n", ""}},
      {"echo \"$PATH\"", {"PATH=/replaced"}, {0, "/replaced\n", ""}},
      {"kill -9 $$", {}, {-1, "", ""}},
      // More than a pipe holds, on both outputs.
      {"head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2",
       {},
       {0, std::string(300000, '\0'), std::string(300000, '\0')}},
  };
  for (const Case& c : cases) {
    ProgramOptions options;
    options.environment = c.environment;
    ProgramRun run = shell(c.script, options);
    EXPECT_EQ(show(run), show(c.want)) << "input " << c.script;
  }
}

TEST(RunProgram, StandardInputAndOutputFiles) {
  ScratchDir dir;
  std::string input = dir.write("in.txt", "given\n");
  std::string output = dir.write("out.txt", "");
  ProgramOptions options;
  options.stdinPath = input.c_str();
  options.stdoutPath = output.c_str();
  ProgramRun run = shell("cat; echo more", options);
  EXPECT_EQ(show(run), show({0, "", ""}));
  EXPECT_EQ(readFile(output), "given\nmore\n");
}

// Each of these outlives its time limit in its own way; every one must come
// back as a failed run that says what happened, with the program gone.
TEST(RunProgram, ProgramsPastTheirTimeLimitAreKilled) {
  struct Case {
    std::string what, script, wantOut;
  };
  const Case cases[] = {
      {"keeps running", "echo begun; exec sleep 60", "begun\n"},
      {"closes its outputs and carries on", "exec >&- 2>&-; exec sleep 60", ""},
      {"ignores SIGTERM", "trap '' TERM; echo begun; exec sleep 60", "begun\n"},
      {"ends, leaving a child that holds its outputs", "sleep 60 & echo $!", ""},
  };
  const std::string wantErr = "runProgram: /bin/sh did not finish within 300 ms; killed it\n";
  for (const Case& c : cases) {
    ProgramRun run = shell(c.script, limitedTo(milliseconds(300)));
    EXPECT_TRUE(run.timedOut) << "input " << c.what << ": " << show(run);
    EXPECT_EQ(run.status, -1) << "input " << c.what;
    EXPECT_EQ(run.err, wantErr) << "input " << c.what;
    if (!c.wantOut.empty()) {
      EXPECT_EQ(run.out, c.wantOut) << "input " << c.what;
    }
  }
}

// The child the program left behind went with it: it was in the program's
// process group.
TEST(RunProgram, WhatTheProgramStartedIsKilledWithIt) {
  ProgramRun run = shell("sleep 60 & echo $!", limitedTo(milliseconds(300)));
  ASSERT_TRUE(run.timedOut) << show(run);
  const std::string stat = "/proc/" + run.out.substr(0, run.out.find('\n')) + "/stat";
  // Killed, it may linger as a zombie until its new parent reaps it.
  auto alive = [&] {
    std::string text = readFile(stat);
    size_t state = text.rfind(')');
    return state != std::string::npos && text.compare(state, 3, ") Z") != 0;
  };
  for (int i = 0; i < 1000 && alive(); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_FALSE(alive()) << "the sleep the program started is still running";
}

TEST(RunProgram, ProgramThatCannotStart) {
  ProgramRun run = runProgram({"/nonexistent/program"});
  EXPECT_EQ(show(run), show({-1, "", "cannot start /nonexistent/program"}));
}

}  // namespace
}  // namespace tollbrook::testing
