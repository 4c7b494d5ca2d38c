// The event publisher against a collector of our own making: a real ZeroMQ SUB
// socket bound on loopback. Frames are compared byte for byte, and python3's
// json module reads every record once per test.
#include <gtest/gtest.h>
#include <zmq.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/events/publisher.h"
#include "tests/event_collector.h"
#include "tests/outside_programs.h"
#include "tests/program_run.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

struct Event {
  EventAction action;
  EventResult result;
  uint8_t instance;
};

// The daemon never seals with result unknown, so this event marks the frames
// sent while the collector's subscription was still on its way.
constexpr Event kMarker{EventAction::Seal, EventResult::Unknown, 255};

std::string frameOf(std::string_view topic, const Event& event) {
  return std::string(topic) + " " +
         std::string(formatEventRecord(event.action, event.result, event.instance).text());
}

// The shared collector, with what these tests add: waiting out the
// subscription, and skipping the markers sent meanwhile.
class Collector : public testing::EventCollector {
 public:
  using EventCollector::EventCollector;

  // PUB drops what it sends before a subscription reaches it, so the test
  // publishes markers until one arrives. False after about ten seconds.
  bool awaitSubscription(EventPublisher& publisher) {
    for (int attempt = 0; attempt < 500; ++attempt) {
      publisher.publish(kMarker.action, kMarker.result, kMarker.instance);
      if (receive(20)) return true;
    }
    return false;
  }

  // The next `count` frames after the markers still in flight.
  std::vector<std::string> receiveAfterMarkers(std::string_view topic, size_t count) {
    const std::string marker = frameOf(topic, kMarker);
    std::vector<std::string> frames;
    while (frames.size() < count) {
      std::optional<std::string> frame = receive(5000);
      if (!frame) break;
      if (frames.empty() && *frame == marker) continue;
      frames.push_back(*frame);
    }
    return frames;
  }
};

// What python3's json module reads in each frame: the topic, the keys in
// order, the three values, and whether action and result are strings and the
// instance an integer.
std::vector<std::string> readWithPython(const std::vector<std::string>& frames) {
  static const char* kScript = R"(
import json, sys
for frame in sys.argv[1:]:
    topic, record = frame.split(' ', 1)
    pairs = json.loads(record, object_pairs_hook=list)
    value = dict(pairs)
    typed = (type(value['action']) is str and type(value['result']) is str
             and type(value['instance']) is int)
    print(topic, ','.join(k for k, _ in pairs), value['action'], value['result'],
          value['instance'], 'typed' if typed else 'mistyped')
)";
  std::vector<std::string> argv = {
      std::string(testing::programPath(testing::OutsideProgram::Python3)), "-c", kScript};
  argv.insert(argv.end(), frames.begin(), frames.end());
  const testing::ProgramRun run = testing::runProgram(argv);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(run.out.substr(start, end - start));
  }
  return lines;
}

// Publishes `events` and checks that the collector gets exactly their frames,
// in order, and that python reads each as the record it should be.
void expectDelivered(EventPublisher& publisher, Collector& collector, std::string_view topic,
                     const std::vector<Event>& events, const std::vector<std::string>& wantFrames,
                     const std::vector<std::string>& wantRead) {
  ASSERT_TRUE(collector.awaitSubscription(publisher)) << "no marker arrived";
  for (const Event& event : events) publisher.publish(event.action, event.result, event.instance);
  const std::vector<std::string> frames = collector.receiveAfterMarkers(topic, events.size());
  ASSERT_EQ(frames.size(), wantFrames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i], wantFrames[i])
        << "event " << i << ": got " << frames[i] << ", want " << wantFrames[i];
  }
  EXPECT_FALSE(collector.receive(100)) << "a frame more than was published";
  TOLLBROOK_SKIP_WITHOUT(testing::OutsideProgram::Python3);
  EXPECT_EQ(readWithPython(frames), wantRead);
}

TEST(EventPublisher, DeliversEachEventAsOneFrameInOrder) {
  Collector collector("tcp://127.0.0.1:*");
  ASSERT_TRUE(collector.bound());
  EventPublisher publisher;
  publisher.setUp(collector.endpoint(), "arc");
  ASSERT_TRUE(publisher.enabled());

  // A message without ARC headers, then one sealed over a chain valid up to
  // instance 2, then a seal skipped on a DNS failure at instance 1.
  const std::vector<Event> events = {
      {EventAction::Verify, EventResult::None, 0},
      {EventAction::Verify, EventResult::Pass, 2},
      {EventAction::Seal, EventResult::Pass, 3},
      {EventAction::Verify, EventResult::TempError, 1},
      {EventAction::Seal, EventResult::TempError, 1},
  };
  expectDelivered(publisher, collector, "arc", events,
                  {
                      R"(arc {"action":"verify","result":"none","instance":0})",
                      R"(arc {"action":"verify","result":"pass","instance":2})",
                      R"(arc {"action":"seal","result":"pass","instance":3})",
                      R"(arc {"action":"verify","result":"temperror","instance":1})",
                      R"(arc {"action":"seal","result":"temperror","instance":1})",
                  },
                  {
                      "arc action,result,instance verify none 0 typed",
                      "arc action,result,instance verify pass 2 typed",
                      "arc action,result,instance seal pass 3 typed",
                      "arc action,result,instance verify temperror 1 typed",
                      "arc action,result,instance seal temperror 1 typed",
                  });
}

TEST(EventPublisher, BracketedIpv6EndpointAndOwnTopic) {
  Collector collector("tcp://[::1]:*");
  if (!collector.bound()) GTEST_SKIP() << "no IPv6 loopback";
  const std::string endpoint = collector.endpoint();
  ASSERT_NE(endpoint.find('['), std::string::npos) << endpoint;
  // A topic long enough that no string keeps it inline.
  const std::string topic = "mx1.example.net.arc.events." + std::string(200, 't');
  EventPublisher publisher;
  publisher.setUp(endpoint, topic);
  ASSERT_TRUE(publisher.enabled());

  expectDelivered(publisher, collector, topic, {{EventAction::Verify, EventResult::Fail, 50}},
                  {topic + R"( {"action":"verify","result":"fail","instance":50})"},
                  {topic + " action,result,instance verify fail 50 typed"});
}

// ZeroMQ reads the port with atoi, so leading zeros stretch a working endpoint
// to any length: 511 bytes still publish, 512 bytes do not.
std::string endpointOfLength(const std::string& endpoint, size_t length) {
  const size_t colon = endpoint.rfind(':') + 1;
  return endpoint.substr(0, colon) + std::string(length - endpoint.size(), '0') +
         endpoint.substr(colon);
}

TEST(EventPublisher, EndpointsUpTo511BytesOnly) {
  Collector collector("tcp://127.0.0.1:*");
  ASSERT_TRUE(collector.bound());

  EventPublisher longest;
  longest.setUp(endpointOfLength(collector.endpoint(), kMaxZmqEndpointBytes), "arc");
  ASSERT_TRUE(longest.enabled());
  EXPECT_TRUE(collector.awaitSubscription(longest));

  EventPublisher tooLong;
  tooLong.setUp(endpointOfLength(collector.endpoint(), kMaxZmqEndpointBytes + 1), "arc");
  EXPECT_TRUE(tooLong.initialised());
  EXPECT_FALSE(tooLong.enabled());
  tooLong.publish(EventAction::Verify, EventResult::Pass, 1);
}

TEST(EventPublisher, WithoutAUsableEndpointPublishingIsOff) {
  using namespace std::string_view_literals;
  const std::optional<std::string_view> endpoints[] = {
      std::nullopt,
      ""sv,
      "nonsense"sv,
      "tcp://"sv,
      "tcp://127.0.0.1"sv,
      "tcp://127.0.0.1:"sv,
      "carrier-pigeon://127.0.0.1:5556"sv,
      "tcp://127.0.0.1:5556\0junk"sv,  // ZeroMQ would see only the part before the NUL
  };
  for (const std::optional<std::string_view>& endpoint : endpoints) {
    EventPublisher publisher;
    publisher.setUp(endpoint, "arc");
    const std::string shown = endpoint ? std::string(*endpoint) : "(none)";
    EXPECT_TRUE(publisher.initialised()) << "input " << shown;
    EXPECT_FALSE(publisher.enabled()) << "input " << shown << ": got a socket, want none";
    publisher.publish(EventAction::Verify, EventResult::None, 0);
  }
}

TEST(EventPublisher, SetUpRunsOnceEvenAfterFailing) {
  Collector collector("tcp://127.0.0.1:*");
  ASSERT_TRUE(collector.bound());

  EventPublisher failed;
  failed.setUp("nonsense", "arc");
  failed.setUp(collector.endpoint(), "arc");
  EXPECT_FALSE(failed.enabled());

  EventPublisher working;
  working.setUp(collector.endpoint(), "arc");
  working.setUp(std::nullopt, "arc");
  EXPECT_TRUE(working.enabled());
  EXPECT_TRUE(collector.awaitSubscription(working));
}

TEST(EventPublisher, NoMemoryForTheTopicLeavesPublishingOff) {
  Collector collector("tcp://127.0.0.1:*");
  ASSERT_TRUE(collector.bound());
  const std::string endpoint = collector.endpoint();
  const std::string topic(100, 't');
  EventPublisher publisher;
  {
    testing::ScopedAllocationFailure noMemory(0);
    publisher.setUp(endpoint, topic);
  }
  EXPECT_TRUE(publisher.initialised());
  EXPECT_FALSE(publisher.enabled());
}

// Publishing never waits for the collector. These loops would hang (and the
// test time out) if a send blocked.
constexpr int kFlood = 100000;

TEST(EventPublisher, CollectorDownNeverBlocks) {
  std::string endpoint;
  {
    Collector gone("tcp://127.0.0.1:*");
    ASSERT_TRUE(gone.bound());
    endpoint = gone.endpoint();
  }
  EventPublisher publisher;
  publisher.setUp(endpoint, "arc");
  ASSERT_TRUE(publisher.enabled());
  for (int i = 0; i < kFlood; ++i) publisher.publish(EventAction::Verify, EventResult::Pass, 1);
}

TEST(EventPublisher, CollectorThatStopsReadingNeverBlocks) {
  Collector collector("tcp://127.0.0.1:*", /*receiveQueue=*/1);
  ASSERT_TRUE(collector.bound());
  EventPublisher publisher;
  publisher.setUp(collector.endpoint(), "arc");
  ASSERT_TRUE(collector.awaitSubscription(publisher));
  // More than the queues can hold: besides the two high-water marks, the
  // publisher's kernel send buffer grows on loopback to a few MiB (some
  // 50,000 frames were seen to fit), so the flood is several times that.
  constexpr int kStalledFlood = 4 * kFlood;
  for (int i = 0; i < kStalledFlood; ++i) {
    publisher.publish(EventAction::Verify, EventResult::Pass, 1);
  }

  // Far fewer arrive than were sent: the queues filled and the rest was dropped.
  int received = 0;
  while (collector.receive(500)) ++received;
  EXPECT_LT(received, kStalledFlood / 2);
}

// A frame ZeroMQ refuses must be released. A SUB socket refuses every send;
// under the sanitizer build LeakSanitizer reports any frame left behind.
TEST(EventPublisher, RefusedFramesAreReleased) {
  Collector collector("tcp://127.0.0.1:*");
  ASSERT_TRUE(collector.bound());
  std::unique_ptr<void, testing::ZmqContextDestroy> context(zmq_ctx_new());
  std::unique_ptr<void, testing::ZmqSocketClose> sub(zmq_socket(context.get(), ZMQ_SUB));
  const std::string record(formatEventRecord(EventAction::Seal, EventResult::Pass, 3).text());
  for (int i = 0; i < 1000; ++i) {
    ASSERT_FALSE(sendEventFrame(sub.get(), "arc", record)) << "a SUB socket took a frame";
  }
}

}  // namespace
}  // namespace tollbrook
