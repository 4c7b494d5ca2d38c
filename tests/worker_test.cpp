// The worker on a thread of its own, served over loopback sockets (inet and
// unix) as an MTA would use it: whole conversations, replies byte for byte,
// framing errors, peers that stop reading, the connection limit, the drain at
// shutdown, reload wake-ups, and two workers sharing one unix path.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/milter/body_handler.h"
#include "daemon/milter/replies.h"
#include "daemon/worker/listeners.h"
#include "platform/listen_socket.h"
#include "tests/milter_client.h"
#include "tests/program_run.h"
#include "tests/worker_harness.h"
#include "testsupport/test_text.h"

namespace tollbrook::testing {
namespace {

// Inserts a field naming the listener and the peer the worker saw, then accepts.
char labellingEom(void*, MilterConnection& connection) {
  const std::string value = "listener=" + std::to_string(connection.listenerIndex) +
                            " peer=" + std::string(connection.peer());
  Result<HeaderChangeReply> insertion = insertHeaderReply(connection, "X-Served", value);
  if (!insertion) return 't';
  const ReplyPacket changes[] = {insertion->packet()};
  return queueReplies(connection, changes) ? 'a' : 't';
}

MilterHandlers labellingHandlers() {
  MilterHandlers handlers;
  handlers.body = handleBodyChunkSlot;
  handlers.eom = labellingEom;
  return handlers;
}

MtaMessage twentyFieldMessage(size_t bodyBytes) {
  MtaMessage message;
  for (int i = 0; i < 20; ++i) {
    message.text += "X-Field-" + std::to_string(i) + ": value " + std::to_string(i) + "\r\n";
  }
  message.text += "\r\n";
  while (message.text.size() < bodyBytes) message.text += "body line of the message\r\n";
  return message;
}

std::string word(uint32_t value) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
  return out;
}

std::string negotiation(uint32_t actions = 0x1FF, uint32_t flags = 0x1FFFFF) {
  return packet('O', word(6) + word(actions) + word(flags));
}

const std::string kNegotiationReply = packet('O', word(6) + word(0x11) + word(0x100000));

TEST(WorkerConversation, ServesWholeConversationsOverInetAndUnix) {
  LogLines log;
  ScratchDir dir;
  WorkerPool pool;
  WorkerSetup setup;
  setup.handlers = labellingHandlers();
  std::unique_ptr<Worker> worker = pool.build(std::move(setup));
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  const std::string path = dir.file("milter.sock");
  Result<UniqueFd> unixSocket = listenUnix(path);
  ASSERT_TRUE(unixSocket.has_value());
  ASSERT_TRUE(worker->addListener(std::move(*unixSocket), path).has_value());
  pool.start(std::move(worker));

  struct Case {
    const char* transport;
    std::string served;
  } cases[] = {{"inet", "listener=0 peer=127.0.0.1"}, {"unix", "listener=1 peer=local"}};
  for (const Case& c : cases) {
    Result<MilterClient> client = std::string_view(c.transport) == "inet"
                                      ? MilterClient::connectTcp(port)
                                      : MilterClient::connectUnix(path);
    ASSERT_TRUE(client.has_value()) << c.transport;
    Result<Negotiated> agreed = client->negotiate();
    ASSERT_TRUE(agreed.has_value()) << c.transport;
    EXPECT_EQ(agreed->actions, 0x11u) << c.transport;
    Result<char> opened = client->openSession(MtaSession{});
    ASSERT_TRUE(opened.has_value()) << c.transport;
    EXPECT_EQ(*opened, 'c') << c.transport;
    // Two messages on one connection: 20 fields and a 10 KiB body each.
    for (int round = 0; round < 2; ++round) {
      Result<EndOfMessage> ended = client->sendMessage(twentyFieldMessage(10 * 1024));
      ASSERT_TRUE(ended.has_value()) << c.transport << " round " << round;
      EXPECT_EQ(ended->code, 'a') << c.transport;
      ASSERT_EQ(ended->modifications.size(), 1u) << c.transport;
      std::optional<HeaderChange> change = decodeHeaderChange(ended->modifications[0]);
      ASSERT_TRUE(change.has_value());
      EXPECT_EQ(change->value, " " + c.served)
          << "input " << c.transport << ": got " << change->value << ", want " << c.served;
    }
    ASSERT_TRUE(client->quit().has_value());
    EXPECT_TRUE(client->peerClosed()) << c.transport;
  }
  EXPECT_TRUE(eventually([&] { return pool.worker(0).openConnections() == 0; }));
}

// The same conversation, its bytes cut in different ways: many packets per
// read, and packets (a 64 KiB body chunk above all) spread over many reads.
TEST(WorkerConversation, RepliesComeWholeAndInOrderHoweverTheBytesAreCut) {
  LogLines log;
  WorkerPool pool;
  std::unique_ptr<Worker> worker = pool.build(WorkerSetup{});
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));

  std::string request = negotiation();
  std::string want = kNegotiationReply;
  const std::string commands[][2] = {
      {"D", std::string("C{daemon_name}\0mx-in\0", 21)},
      {"C", std::string("mail.example.org\0"
                        "4\x9c\x7b"
                        "192.0.2.25\0",
                        31)},
      {"H", std::string("mail.example.org\0", 17)},
      {"M", std::string("<a@example.org>\0", 16)},
      {"R", std::string("<b@example.com>\0", 16)},
      {"L", std::string("Subject\0 hello\0", 15)},
      {"N", ""},
      {"B", std::string(65535, 'b')},
      {"T", "unknown"},
      {"E", ""},
  };
  for (const auto& [command, data] : commands) {
    request += packet(command[0], data);
    if (command != "D") want += packet(command[0] == 'E' ? 'a' : 'c');
  }
  for (size_t slice : {SIZE_MAX, size_t{4097}, size_t{3}, size_t{1}}) {
    Result<MilterClient> client = MilterClient::connectTcp(port);
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(sendAll(client->fd(), request, slice)) << "slice " << slice;
    const std::string got = readExactly(client->fd(), want.size());
    EXPECT_EQ(got, want) << "slice " << slice << ": got " << got.size() << " bytes "
                         << show(got.substr(0, 64)) << ", want " << want.size();
  }
}

TEST(WorkerConversation, FramingErrorsAndLeavingPeersCloseWithoutReply) {
  LogLines log;
  WorkerPool pool;
  std::unique_ptr<Worker> worker = pool.build(WorkerSetup{});
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));

  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"length 0", word(0) + "c"},
      {"length 1 MiB + 1", word((1u << 20) + 1) + "B" + std::string(100, 'x')},
  };
  for (const Case& c : cases) {
    Result<MilterClient> client = MilterClient::connectTcp(port);
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(sendAll(client->fd(), negotiation()));
    ASSERT_EQ(readExactly(client->fd(), kNegotiationReply.size()), kNegotiationReply);
    ASSERT_TRUE(sendAll(client->fd(), c.bytes)) << c.name;
    bool closed = false;
    const std::string got = readUntilClosed(client->fd(), closed);
    EXPECT_TRUE(closed) << "input " << c.name << ": the connection stayed open";
    EXPECT_EQ(got, "") << "input " << c.name << ": got " << show(got) << ", want nothing";
  }

  // A peer that leaves in the middle of a packet is closed and forgotten.
  {
    Result<MilterClient> client = MilterClient::connectTcp(port);
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(sendAll(client->fd(), negotiation().substr(0, 9)));
    ASSERT_TRUE(eventually([&] { return pool.worker(0).openConnections() == 1; }));
  }
  EXPECT_TRUE(eventually([&] { return pool.worker(0).openConnections() == 0; }));
}

// Replies to unknown commands ('c') and to end of message ('a'), in a pattern
// that shows their order.
void unansweredRequest(size_t replies, std::string& request, std::string& want) {
  for (size_t i = 0; i < replies; ++i) {
    const bool eom = i % 7 == 3;
    request += packet(eom ? 'E' : 'T');
    want += packet(eom ? 'a' : 'c');
  }
}

class WorkerBackPressure : public ::testing::Test {
 protected:
  void SetUp() override {
    std::unique_ptr<Worker> worker = pool_.build(WorkerSetup{});
    UniqueFd listener = listenLoopback(port_);
    // Accepted sockets take their send buffer from the listener: a small one
    // makes replies back up after a few KiB.
    const int small = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(worker->addListener(std::move(listener), "").has_value());
    pool_.start(std::move(worker));
  }

  LogLines log_;
  WorkerPool pool_;
  uint16_t port_ = 0;
};

TEST_F(WorkerBackPressure, HeldRepliesArriveWholeAndInOrderWhenThePeerReadsAgain) {
  UniqueFd fd = connectWithSmallWindow(port_);
  std::string request, want;
  unansweredRequest(64 * 1024 / 5, request, want);  // 64 KiB of replies, far below the bound
  ASSERT_TRUE(sendAll(fd.get(), request));
  ASSERT_TRUE(log_.waitFor("info holding ",
                           " bytes of replies for unknown[127.0.0.1]: peer is not reading, "
                           "will resume when it does"))
      << log_.pending();
  const std::string got = readExactly(fd.get(), want.size());
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want) << "the held replies differ from what was asked";
  // Served on as before.
  ASSERT_TRUE(sendAll(fd.get(), negotiation()));
  EXPECT_EQ(readExactly(fd.get(), kNegotiationReply.size()), kNegotiationReply);
}

TEST_F(WorkerBackPressure, PeerThatNeverReadsIsDroppedAtTheQueueBound) {
  UniqueFd fd = connectWithSmallWindow(port_);
  std::string request, want;
  unansweredRequest(1024 * 1024 / 5, request, want);  // 1 MiB of replies
  (void)sendAll(fd.get(), request);                   // fails once the worker has dropped us
  EXPECT_TRUE(log_.waitFor("warning dropping connection from unknown[127.0.0.1]: ",
                           " bytes of replies unread, output queue full"))
      << log_.pending();
  EXPECT_TRUE(eventually([&] { return pool_.worker(0).openConnections() == 0; }));
}

TEST(WorkerLimits, RefusesBeyondMaxConnectionsWithOneLinePerSecond) {
  LogLines log;
  TestClock clock;
  WorkerPool pool;
  WorkerSetup setup;
  setup.index = 1;
  setup.maxConnections = 2;
  setup.clock = clock.clock();
  std::unique_ptr<Worker> worker = pool.build(std::move(setup));
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));

  std::vector<MilterClient> served;
  for (int i = 0; i < 2; ++i) {
    served.push_back(*MilterClient::connectTcp(port));
    ASSERT_TRUE(served.back().negotiate().has_value()) << "connection " << i;
  }
  auto refusedOne = [&] {
    Result<MilterClient> extra = MilterClient::connectTcp(port);
    ASSERT_TRUE(extra.has_value());
    EXPECT_TRUE(extra->peerClosed()) << "a connection beyond the limit stayed open";
  };
  const char kLine[] = " connection(s): worker 1 is at MaxConnections=2";
  refusedOne();
  EXPECT_TRUE(log.waitFor("warning refused 1", kLine)) << log.pending();
  refusedOne();
  EXPECT_FALSE(log.waitFor("warning refused", kLine, 100)) << "a second line within the second";
  clock.advance(1000);
  refusedOne();
  EXPECT_TRUE(log.waitFor("warning refused 2", kLine)) << log.pending();
  // The two within the limit are still served.
  for (MilterClient& client : served) EXPECT_TRUE(client.negotiate().has_value());
}

TEST(WorkerLimits, AcceptsWhatAShortageOfDescriptorsLeftPending) {
  LogLines log;
  WorkerPool pool;
  std::unique_ptr<Worker> worker = pool.build(WorkerSetup{});
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));

  std::optional<MilterClient> first;
  first.emplace(*MilterClient::connectTcp(port));
  ASSERT_TRUE(first->negotiate().has_value());
  // The second client's socket exists before the descriptors run out; its
  // connection then waits in the backlog while accept fails.
  UniqueFd second(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = dup(0);
  close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      connect(second.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const bool starved = log.waitFor("err accept error: error.ProcessFdQuotaExceeded");
  // A served connection goes; the descriptor it frees takes the pending one,
  // although no new connection arrives to wake the listener.
  first.reset();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(starved) << log.pending();
  MilterClient late(std::move(second));
  late.setTimeoutMs(5000);
  EXPECT_TRUE(late.negotiate().has_value()) << "the pending connection was never accepted";
}

TEST(WorkerDrain, ServesOpenConnectionsUntilTheBoundAndRemovesTheUnixPath) {
  LogLines log;
  ScratchDir dir;
  TestClock clock;
  WorkerPool pool;
  WorkerSetup setup;
  setup.clock = clock.clock();
  std::unique_ptr<Worker> worker = pool.build(std::move(setup));
  const std::string path = dir.file("milter.sock");
  Result<UniqueFd> listener = listenUnix(path);
  ASSERT_TRUE(listener.has_value());
  ASSERT_TRUE(worker->addListener(std::move(*listener), path).has_value());
  pool.start(std::move(worker));

  Result<MilterClient> idle = MilterClient::connectUnix(path);
  ASSERT_TRUE(idle.has_value());
  ASSERT_TRUE(idle->negotiate().has_value());
  pool.shutdown();
  EXPECT_TRUE(eventually([&] {
    Result<MilterClient> late = MilterClient::connectUnix(path);
    return !late && late.error() == Error::FileNotFound;
  })) << "the unix path still takes connections after shutdown began";
  // Open connections are still served while the worker drains.
  EXPECT_TRUE(idle->negotiate().has_value());
  clock.advance(kDrainBoundMs - 1000);
  EXPECT_FALSE(log.waitFor("warning drain timeout", "", 300)) << "ended before the bound";
  clock.advance(1000);
  EXPECT_TRUE(log.waitFor("warning drain timeout, closing 1 remaining connections"))
      << log.pending();
  pool.joinAll();
  EXPECT_TRUE(idle->peerClosed());
}

TEST(WorkerDrain, ShutdownWithoutConnectionsEndsAtOnce) {
  LogLines log;
  TestClock clock;  // never moves: only an empty worker can end
  WorkerPool pool;
  WorkerSetup setup;
  setup.clock = clock.clock();
  std::unique_ptr<Worker> worker = pool.build(std::move(setup));
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));
  pool.shutdown();
  pool.joinAll();
  EXPECT_EQ(log.pending(), "");
}

struct ReloadCount {
  std::atomic<int> calls{0};
};

void countReload(void* context) {
  ++static_cast<ReloadCount*>(context)->calls;
}

TEST(WorkerReload, WakeUpDrainsThePipeAndAcknowledgesOnce) {
  LogLines log;
  ReloadCount count;
  std::atomic<uint64_t> generation{5};
  std::vector<std::atomic<uint64_t>> acks(2);
  WorkerPool pool;
  WorkerSetup setup;
  setup.index = 1;
  setup.handlers.context = &count;
  setup.reload.configGeneration = &generation;
  setup.reload.workerAcks = acks;
  setup.reload.lastSeen = 5;
  setup.reload.onReloadAcknowledged = countReload;
  std::unique_ptr<Worker> worker = pool.build(std::move(setup));
  uint16_t port = 0;
  ASSERT_TRUE(worker->addListener(listenLoopback(port), "").has_value());
  pool.start(std::move(worker));
  ASSERT_TRUE(eventually([&] { return acks[1].load() == 5; }));
  EXPECT_EQ(count.calls.load(), 0);

  generation = 7;
  const std::string bytes(200, '\x01');
  ASSERT_EQ(write(pool.notifyWriteEnd(0), bytes.data(), bytes.size()), 200);
  ASSERT_TRUE(eventually([&] { return acks[1].load() == 7; }));
  int unread = -1;
  ASSERT_EQ(ioctl(pool.notifyWriteEnd(0), FIONREAD, &unread), 0);
  EXPECT_EQ(unread, 0) << "bytes left in the notify pipe";
  EXPECT_FALSE(eventually([&] { return count.calls.load() > 1; }, 100));
  EXPECT_EQ(count.calls.load(), 1);
  EXPECT_EQ(acks[0].load(), 0u) << "another worker's entry was written";

  // A generation that moves without a wake-up is seen at the next event.
  generation = 8;
  Result<MilterClient> client = MilterClient::connectTcp(port);
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->negotiate().has_value());
  EXPECT_TRUE(eventually([&] { return count.calls.load() == 2 && acks[1].load() == 8; }));
}

// Holds the worker that runs it inside end of message until released, so the
// test knows that worker cannot take a connection meanwhile.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, released = false;
};

char gatedEom(void* context, MilterConnection&) {
  auto& gate = *static_cast<Gate*>(context);
  std::unique_lock lock(gate.mutex);
  gate.entered = true;
  gate.changed.notify_all();
  gate.changed.wait(lock, [&] { return gate.released; });
  return 'a';
}

TEST(WorkerSharing, TwoWorkersServeOneUnixPathAndOneInetPort) {
  LogLines log;
  ScratchDir dir;
  Gate gate;
  WorkerPool pool;
  const std::string path = dir.file("milter.sock");
  // A port that was free a moment ago. It cannot be held meanwhile: the
  // workers refuse a port that any socket listens on.
  uint16_t port = 0;
  { UniqueFd placeholder = listenLoopback(port); }
  const ListenAddress addresses[] = {{path, 0, true}, {"127.0.0.1", port, false}};
  std::vector<std::unique_ptr<Worker>> workers;
  std::vector<Worker*> built;
  for (uint32_t index = 0; index < 2; ++index) {
    WorkerSetup setup;
    setup.index = index;
    setup.handlers.context = &gate;
    setup.handlers.eom = gatedEom;
    workers.push_back(pool.build(std::move(setup)));
    built.push_back(workers.back().get());
  }
  ASSERT_TRUE(addListeners(built, addresses).has_value());
  for (std::unique_ptr<Worker>& worker : workers) pool.start(std::move(worker));

  Result<MilterClient> first = MilterClient::connectUnix(path);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(first->negotiate().has_value());
  const size_t busy = pool.worker(0).openConnections() == 1 ? 0 : 1;
  ASSERT_EQ(pool.worker(busy).openConnections(), 1u);
  // Park the worker that took the first connection inside end of message.
  ASSERT_TRUE(first->sendPacket('E', {}).has_value());
  {
    std::unique_lock lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
  }
  Result<MilterClient> second = MilterClient::connectUnix(path);
  ASSERT_TRUE(second.has_value());
  EXPECT_TRUE(second->negotiate().has_value()) << "the other worker took no connection";
  EXPECT_EQ(pool.worker(1 - busy).openConnections(), 1u);
  {
    std::lock_guard lock(gate.mutex);
    gate.released = true;
  }
  gate.changed.notify_all();
  Result<MilterReply> reply = first->readReply();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->code, 'a');

  // Every worker's socket on the inet port serves.
  std::vector<MilterClient> inet;
  for (int i = 0; i < 8; ++i) {
    inet.push_back(*MilterClient::connectTcp(port));
    EXPECT_TRUE(inet.back().negotiate().has_value()) << "inet connection " << i;
  }
  EXPECT_EQ(pool.worker(0).openConnections() + pool.worker(1).openConnections(), 10u);
}

}  // namespace
}  // namespace tollbrook::testing
