#include "platform/event_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace tollbrook {
namespace {

using Kind = EventChange::Kind;

struct Pair {
  UniqueFd a, b;
};

Pair makePipe() {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Pair makeSocketPair() {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void writeByte(int fd) {
  ASSERT_EQ(write(fd, "x", 1), 1);
}

std::string describe(const Event& e) {
  return std::to_string(e.fd) + (e.filter == EventFilter::Read ? " read" : " write") +
         (e.eof ? " eof" : "") + (e.error ? " error" : "");
}

// Waits once (0 ms unless told otherwise) and renders what came back.
std::vector<std::string> waitFor(EventQueue& queue, std::vector<EventChange> changes = {},
                                 size_t room = 64, uint32_t timeoutMs = 0) {
  std::vector<Event> out(room);
  Result<size_t> n = queue.wait(changes, out, timeoutMs);
  EXPECT_TRUE(n.has_value());
  std::vector<std::string> seen;
  for (size_t i = 0; n && i < *n; ++i) seen.push_back(describe(out[i]));
  return seen;
}

using Seen = std::vector<std::string>;

class EventQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<EventQueue> created = EventQueue::create();
    ASSERT_TRUE(created.has_value());
    queue_.emplace(std::move(*created));
  }
  EventQueue& queue() { return *queue_; }
  std::optional<EventQueue> queue_;
};

TEST_F(EventQueueTest, ReadInterestIsEdgeTriggered) {
  Pair p = makePipe();
  const std::string r = std::to_string(p.a.get());
  EXPECT_EQ(waitFor(queue(), {{p.a.get(), Kind::ReadEdge}}), Seen{});
  writeByte(p.b.get());
  EXPECT_EQ(waitFor(queue()), Seen{r + " read"});
  // Unread data reports nothing new until more arrives.
  EXPECT_EQ(waitFor(queue()), Seen{});
  writeByte(p.b.get());
  EXPECT_EQ(waitFor(queue()), Seen{r + " read"});
}

TEST_F(EventQueueTest, ClosedPipeAndPeerShutdownReportEndOfFile) {
  // A closed pipe shows as a hang-up without readable data; the worker must
  // still see a read event for it (that is how shutdown starts).
  Pair p = makePipe();
  Pair s = makeSocketPair();
  std::string r = std::to_string(p.a.get()), c = std::to_string(s.a.get());
  EXPECT_EQ(waitFor(queue(), {{p.a.get(), Kind::ReadEdge}, {s.a.get(), Kind::ReadEdge}}), Seen{});
  p.b.reset();
  EXPECT_EQ(waitFor(queue()), Seen{r + " read eof"});
  ASSERT_EQ(shutdown(s.b.get(), SHUT_WR), 0);
  EXPECT_EQ(waitFor(queue()), Seen{c + " read eof"});
}

TEST_F(EventQueueTest, WriteInterestFiresOnceAndLeavesReadInterest) {
  Pair s = makeSocketPair();
  const std::string c = std::to_string(s.a.get());
  EXPECT_EQ(waitFor(queue(), {{s.a.get(), Kind::ReadEdge}, {s.a.get(), Kind::WriteOnce}}),
            Seen{c + " write"});
  EXPECT_EQ(waitFor(queue()), Seen{});
  writeByte(s.b.get());
  EXPECT_EQ(waitFor(queue()), Seen{c + " read"});
  char byte;
  ASSERT_EQ(read(s.a.get(), &byte, 1), 1);
  // Armed again, it fires again, once.
  EXPECT_EQ(waitFor(queue(), {{s.a.get(), Kind::WriteOnce}}), Seen{c + " write"});
  EXPECT_EQ(waitFor(queue()), Seen{});
}

TEST_F(EventQueueTest, WriteInterestWaitsForRoomInTheSocket) {
  Pair s = makeSocketPair();
  const std::string c = std::to_string(s.a.get());
  std::string chunk(65536, 'x');
  while (write(s.a.get(), chunk.data(), chunk.size()) > 0) {
  }
  EXPECT_EQ(waitFor(queue(), {{s.a.get(), Kind::ReadEdge}, {s.a.get(), Kind::WriteOnce}}), Seen{});
  char sink[65536];
  while (read(s.b.get(), sink, sizeof sink) > 0) {
  }
  EXPECT_EQ(waitFor(queue(), {}, 64, 1000), Seen{c + " write"});
}

TEST_F(EventQueueTest, EarlySubmissionKeepsReadinessForTheNextWait) {
  Pair ready = makePipe();
  Pair other = makePipe();
  writeByte(ready.b.get());
  const std::string r = std::to_string(ready.a.get());
  EXPECT_EQ(waitFor(queue(), {{ready.a.get(), Kind::ReadEdge}}), Seen{r + " read"});
  writeByte(ready.b.get());
  // The early submission of a batch must not swallow the pending report.
  std::vector<EventChange> batch(EventQueue::kMaxBatch, {other.a.get(), Kind::ReadEdge});
  ASSERT_TRUE(queue().submit(batch).has_value());
  EXPECT_EQ(waitFor(queue()), Seen{r + " read"});
}

TEST_F(EventQueueTest, FailedChangesComeBackAsErrorEventsFirst) {
  Pair p = makePipe();
  writeByte(p.b.get());
  int closed = dup(p.b.get());
  ASSERT_GE(closed, 0);
  close(closed);
  const std::string r = std::to_string(p.a.get()), x = std::to_string(closed);
  EXPECT_EQ(waitFor(queue(), {{closed, Kind::ReadEdge}, {p.a.get(), Kind::ReadEdge}}),
            (Seen{x + " read error", r + " read"}));
  ASSERT_TRUE(queue().submit(std::vector<EventChange>{{closed, Kind::WriteOnce}}).has_value());
  EXPECT_EQ(waitFor(queue()), Seen{x + " write error"});
  // Applied at once, a failure is the caller's to see, not an event.
  Status added = queue().add({closed, Kind::ReadEdge});
  ASSERT_FALSE(added.has_value());
  EXPECT_EQ(added.error(), Error::BadFileDescriptor);
  EXPECT_TRUE(queue().add({p.b.get(), Kind::WriteOnce}).has_value());
  EXPECT_EQ(waitFor(queue()), Seen{std::to_string(p.b.get()) + " write"});
}

TEST_F(EventQueueTest, ForgottenSharedDescriptorReportsNothing) {
  // Two descriptors of one pipe, as when a listener is duplicated for each
  // worker: after forget() and close() of one, its number must stay silent
  // although the open file lives on.
  Pair p = makePipe();
  UniqueFd copy(dup(p.a.get()));
  ASSERT_TRUE(copy.valid());
  EXPECT_EQ(waitFor(queue(), {{copy.get(), Kind::ReadEdge}}), Seen{});
  queue().forget(copy.get());
  copy.reset();
  writeByte(p.b.get());
  EXPECT_EQ(waitFor(queue()), Seen{});
}

TEST_F(EventQueueTest, ANumberReusedAfterACloseWithoutForgetIsWatchedAgain) {
  // The queue still remembers read interest for the old file; the new file
  // under the same number must be registered all the same.
  Pair first = makePipe();
  const int number = first.a.get();
  EXPECT_EQ(waitFor(queue(), {{number, Kind::ReadEdge}}), Seen{});
  first.a.reset();
  Pair second = makePipe();
  ASSERT_EQ(second.a.get(), number) << "the system did not reuse the lowest free number";
  EXPECT_EQ(waitFor(queue(), {{number, Kind::ReadEdge}}), Seen{});
  writeByte(second.b.get());
  EXPECT_EQ(waitFor(queue()), Seen{std::to_string(number) + " read"});
}

TEST_F(EventQueueTest, ReportsBeyondTheCallersRoomWaitForTheNextCall) {
  Pair s = makeSocketPair();
  const std::string c = std::to_string(s.a.get());
  writeByte(s.b.get());
  std::vector<EventChange> both{{s.a.get(), Kind::ReadEdge}, {s.a.get(), Kind::WriteOnce}};
  EXPECT_EQ(waitFor(queue(), both, 1), Seen{c + " read"});
  EXPECT_EQ(waitFor(queue(), {}, 1), Seen{c + " write"});
  // A report held back for a descriptor that is then forgotten is dropped.
  writeByte(s.b.get());
  EXPECT_EQ(waitFor(queue(), {{s.a.get(), Kind::WriteOnce}}, 1), Seen{c + " read"});
  queue().forget(s.a.get());
  EXPECT_EQ(waitFor(queue()), Seen{});
}

TEST_F(EventQueueTest, TimeoutWithNothingReadyReturnsNoEvent) {
  EXPECT_EQ(waitFor(queue(), {}, 64, 20), Seen{});
}

}  // namespace
}  // namespace tollbrook
