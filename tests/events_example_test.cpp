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

// Runs the example collector on `endpoint` and topic "arc" until it has taken
// `events` events. A SUB socket misses what is sent before its subscription
// reaches the publisher, so `publishRound` runs every 20 ms until it is done.
template <typename PublishRound>
ProgramRun runSubscriberWhilePublishing(const std::string& endpoint, int events,
                                        PublishRound publishRound) {
  ProgramRun run;
  std::atomic<bool> done = false;
  std::thread collector([&] {
    ProgramOptions options;
    options.timeLimit = std::chrono::seconds(20);
    run =
        testing::runProgram({kSubscriber, "-n", std::to_string(events), endpoint, "arc"}, options);
    done = true;
  });
  while (!done) {
    publishRound();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  collector.join();
  return run;
}

TEST(ExampleEventSubscriber, PrintsTheEventsTheDaemonPublishes) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string endpoint = "ipc://" + dir.file("events");

  // The collector takes two events and ends; the publisher repeats the pair
  // until it is done.
  EventPublisher publisher;
  publisher.setUp(endpoint, "arc");
  const ProgramRun run = runSubscriberWhilePublishing(endpoint, 2, [&] {
    publisher.publish(EventAction::Verify, EventResult::Pass, 2);
    publisher.publish(EventAction::Seal, EventResult::Pass, 3);
  });

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
  EventPublisher other;
  other.setUp(endpoint, "arcade");
  EventPublisher ours;
  ours.setUp(endpoint, "arc");
  const ProgramRun run = runSubscriberWhilePublishing(endpoint, 1, [&] {
    other.publish(EventAction::Verify, EventResult::Fail, 1);
    ours.publish(EventAction::Verify, EventResult::None, 0);
  });

  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "arc action=verify result=none instance=0\n");
}

}  // namespace
}  // namespace tollbrook
