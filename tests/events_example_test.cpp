// The example collector that docs/events.md shows, run as a program against
// the daemon's own event publisher: what an operator copies must read what
// the daemon sends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "daemon/events/publisher.h"
#include "tests/program_run.h"

namespace tollbrook {
namespace {

using testing::ProgramOptions;
using testing::ProgramRun;
using testing::ScratchDir;

const std::string kSubscriber = std::string(TOLLBROOK_BINARY_DIR) + "/examples/event_subscriber";

TEST(ExampleEventSubscriber, PrintsTheEventsTheDaemonPublishes) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string endpoint = "ipc://" + dir.file("events");

  // The collector takes two events and ends. A SUB socket misses what is sent
  // before its subscription reaches the publisher, so the publisher repeats
  // the pair until the collector is done.
  ProgramRun run;
  std::atomic<bool> done = false;
  std::thread collector([&] {
    ProgramOptions options;
    options.timeLimit = std::chrono::seconds(20);
    run = testing::runProgram({kSubscriber, "-n", "2", endpoint, "arc"}, options);
    done = true;
  });
  EventPublisher publisher;
  publisher.setUp(endpoint, "arc");
  while (!done) {
    publisher.publish(EventAction::Verify, EventResult::Pass, 2);
    publisher.publish(EventAction::Seal, EventResult::Pass, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  collector.join();

  ASSERT_EQ(run.status, 0) << run.err;
  // Frames of one connection arrive in order, so the two lines are one pair.
  const std::string verify = "arc action=verify result=pass instance=2\n";
  const std::string seal = "arc action=seal result=pass instance=3\n";
  EXPECT_TRUE(run.out == verify + seal || run.out == seal + verify)
      << "got:\n"
      << run.out << "want the lines:\n"
      << verify << seal;
}

TEST(ExampleEventSubscriber, IgnoresOtherTopicsThatShareItsPrefix) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string endpoint = "ipc://" + dir.file("events");
  ProgramRun run;
  std::atomic<bool> done = false;
  std::thread collector([&] {
    ProgramOptions options;
    options.timeLimit = std::chrono::seconds(20);
    run = testing::runProgram({kSubscriber, "-n", "1", endpoint, "arc"}, options);
    done = true;
  });
  EventPublisher other;
  other.setUp(endpoint, "arcade");
  EventPublisher ours;
  ours.setUp(endpoint, "arc");
  while (!done) {
    other.publish(EventAction::Verify, EventResult::Fail, 1);
    ours.publish(EventAction::Verify, EventResult::None, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  collector.join();

  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "arc action=verify result=none instance=0\n");
}

}  // namespace
}  // namespace tollbrook
