// One worker answering trivial milter conversations over a unix socket, beside
// the floor of the same conversations: a minimal milter loop written here
// (blocking reads, fixed replies, one write per batch), which costs what the
// protocol itself costs. Each conversation is a new connection: negotiate,
// connect, helo, one message of 20 header fields and a 10 KiB body, end of
// message answered with one inserted field and continue, quit. Run by hand:
//
//   build/bench/worker_bench [seconds] [both|worker|echo] [conversations]
//
// With a count of conversations, that many run against the chosen server and
// nothing is timed; made for counting system calls, for example
//   strace -f -c -e trace=sendto,read,epoll_wait,epoll_ctl,accept4
//          build/bench/worker_bench 0 worker 1000
// The two servers are measured in turns, in slices, and the best slice of each
// counts, so that load from other processes falls on both alike. Prints
// conversations per second and the server thread's CPU per conversation.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "daemon/milter/replies.h"
#include "daemon/worker/worker.h"
#include "daemon/worker/worker_thread.h"
#include "platform/listen_socket.h"
#include "platform/unix_address.h"
#include "tests/milter_client.h"

namespace {

using namespace tollbrook;
using tollbrook::testing::EndOfMessage;
using tollbrook::testing::MilterClient;
using tollbrook::testing::MtaMessage;
using tollbrook::testing::MtaSession;
using SteadyClock = std::chrono::steady_clock;

double threadSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

MtaMessage benchMessage() {
  MtaMessage message;
  for (int i = 0; i < 20; ++i) {
    message.text += "X-Field-" + std::to_string(i) + ": a value of an ordinary length " +
                    std::to_string(i) + "\r\n";
  }
  message.text += "\r\n";
  while (message.text.size() < 10 * 1024 + 600) message.text += "A line of the body.\r\n";
  return message;
}

// The server side of a measurement: where clients connect and which thread's
// CPU clock tells its cost.
struct Server {
  std::string path;
  std::atomic<clockid_t> cpuClock{0};
  std::atomic<bool> knowsClock{false};

  void recordClock() {
    if (knowsClock.load(std::memory_order_relaxed)) return;
    clockid_t clock;
    pthread_getcpuclockid(pthread_self(), &clock);
    cpuClock = clock;
    knowsClock = true;
  }
};

// --- the daemon's worker ---

char insertingEom(void* context, MilterConnection& connection) {
  static_cast<Server*>(context)->recordClock();
  Result<HeaderChangeReply> insertion = insertHeaderReply(connection, "X-Bench", "checked");
  if (!insertion) return 't';
  const ReplyPacket changes[] = {insertion->packet()};
  return queueReplies(connection, changes) ? 'c' : 't';
}

// --- the floor: a blocking loop that knows just enough of the protocol ---

uint32_t word(const char* p) {
  auto b = [&](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(p[i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

std::string encoded(char code, std::string_view data = {}) {
  const uint32_t length = static_cast<uint32_t>(data.size() + 1);
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
  out.push_back(code);
  out.append(data);
  return out;
}

const std::string kNegotiated = encoded('O', std::string("\0\0\0\x06\0\0\0\x11\0\x10\0\0", 12));
const std::string kEndOfMessage =
    encoded('i', std::string("\0\0\0\0X-Bench\0 checked\0", 21)) + encoded('c');
const std::string kContinue = encoded('c');

// Serves one connection; false on quit or end of file.
void serveEcho(int fd) {
  std::string in, out;
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return;
    in.append(chunk, static_cast<size_t>(n));
    size_t at = 0;
    bool quit = false;
    while (in.size() - at >= 5 && in.size() - at >= 4 + size_t{word(in.data() + at)}) {
      const char command = in[at + 4];
      at += 4 + word(in.data() + at);
      switch (command) {
        case 'O':
          out += kNegotiated;
          break;
        case 'D':
        case 'A':
        case 'K':
          break;
        case 'E':
          out += kEndOfMessage;
          break;
        case 'Q':
          quit = true;
          break;
        default:
          out += kContinue;
      }
    }
    in.erase(0, at);
    if (!out.empty() && send(fd, out.data(), out.size(), MSG_NOSIGNAL) < 0) return;
    out.clear();
    if (quit) return;
  }
}

void runEcho(Server& server, int listener) {
  server.recordClock();
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;  // the listener was shut down
    serveEcho(fd);
    close(fd);
  }
}

// --- the client ---

bool converse(const std::string& path, const MtaMessage& message) {
  Result<MilterClient> client = MilterClient::connectUnix(path);
  if (!client || !client->negotiate()) return false;
  Result<char> opened = client->openSession(MtaSession{});
  if (!opened || *opened != 'c') return false;
  Result<EndOfMessage> ended = client->sendMessage(message);
  if (!ended || ended->code != 'c' || ended->modifications.size() != 1) return false;
  return client->quit().has_value();
}

struct Slice {
  double perSecond = 0;
  double cpuMicros = 0;  // server thread CPU per conversation
};

Slice measure(Server& server, const MtaMessage& message, double seconds) {
  while (!server.knowsClock) {
    if (!converse(server.path, message)) std::exit(1);
  }
  const double cpuStart = threadSeconds(server.cpuClock);
  const auto start = SteadyClock::now();
  const auto limit = start + std::chrono::duration<double>(seconds);
  long count = 0;
  while (SteadyClock::now() < limit) {
    if (!converse(server.path, message)) {
      std::fprintf(stderr, "worker_bench: a conversation failed\n");
      std::exit(1);
    }
    ++count;
  }
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const double cpu = threadSeconds(server.cpuClock) - cpuStart;
  return {static_cast<double>(count) / wall, cpu * 1e6 / static_cast<double>(count)};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const std::string which = argc > 2 ? argv[2] : "both";
  const long fixedCount = argc > 3 ? std::atol(argv[3]) : 0;
  const MtaMessage message = benchMessage();

  char pattern[] = "/tmp/tb-worker-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;

  // The worker, with the shutdown pipe the daemon would give it.
  Server workerServer;
  workerServer.path = dir + "/worker.sock";
  int shutdownPipe[2];
  if (pipe2(shutdownPipe, O_CLOEXEC) != 0) return 1;
  WorkerSetup setup;
  setup.handlers.context = &workerServer;
  setup.handlers.eom = insertingEom;
  setup.shutdownFd = shutdownPipe[0];
  Result<std::unique_ptr<Worker>> worker = Worker::create(std::move(setup));
  Result<UniqueFd> workerListener = listenUnix(workerServer.path);
  if (!worker || !workerListener) return 1;
  if (!(*worker)->addListener(std::move(*workerListener), workerServer.path)) return 1;
  Result<WorkerThread> workerThread = WorkerThread::start(std::move(*worker));
  if (!workerThread) return 1;

  // The floor, blocking.
  Server echoServer;
  echoServer.path = dir + "/echo.sock";
  Result<UniqueFd> echoListener = listenUnix(echoServer.path);
  if (!echoListener) return 1;
  int flags = fcntl(echoListener->get(), F_GETFL);
  fcntl(echoListener->get(), F_SETFL, flags & ~O_NONBLOCK);
  std::thread echoThread(runEcho, std::ref(echoServer), echoListener->get());

  if (fixedCount > 0) {
    Server& server = which == "echo" ? echoServer : workerServer;
    for (long i = 0; i < fixedCount; ++i) {
      if (!converse(server.path, message)) return 1;
    }
    std::printf("%ld conversations against %s\n", fixedCount, which.c_str());
  } else {
    Slice bestWorker, bestEcho;
    const double slice = std::max(0.2, seconds / 5);
    for (double spent = 0; spent < seconds; spent += 2 * slice) {
      if (which != "echo") {
        Slice s = measure(workerServer, message, slice);
        if (bestWorker.cpuMicros == 0 || s.cpuMicros < bestWorker.cpuMicros) bestWorker = s;
      }
      if (which != "worker") {
        Slice s = measure(echoServer, message, slice);
        if (bestEcho.cpuMicros == 0 || s.cpuMicros < bestEcho.cpuMicros) bestEcho = s;
      }
    }
    if (which != "echo") {
      std::printf("worker: %8.0f conversations/s, %6.1f us server CPU per conversation\n",
                  bestWorker.perSecond, bestWorker.cpuMicros);
    }
    if (which != "worker") {
      std::printf("floor:  %8.0f conversations/s, %6.1f us server CPU per conversation\n",
                  bestEcho.perSecond, bestEcho.cpuMicros);
    }
    if (which == "both") {
      std::printf("worker CPU over the floor: %+.1f%%\n",
                  (bestWorker.cpuMicros / bestEcho.cpuMicros - 1) * 100);
    }
  }

  close(shutdownPipe[1]);
  workerThread->join();
  shutdown(echoListener->get(), SHUT_RDWR);
  echoThread.join();
  unlink(echoServer.path.c_str());
  rmdir(dir.c_str());
  return 0;
}
