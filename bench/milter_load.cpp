// milter-load: keeps N connections busy against a milter and reports what the
// milter's end of message costs. Every connection speaks as Postfix does:
// negotiation, connect and helo (each after its macro packet), then messages
// one after the other (envelope, one packet per header field, end of headers,
// body chunks of at most 65,535 bytes, end of message), and after
// --per-connection messages quit and a new connection. Each command waits for
// its reply, as the MTA's does. Run by hand:
//
//   milter-load --address inet:127.0.0.1:8895|unix:/path [--connections N]
//               [--threads T] [--messages M | --seconds S] [--warmup W]
//               [--per-connection K] [--message FILE] [--expect c|a]
//               [--pid PID] [--rss-at N,N,...] [--nodelay]
//
// Reports messages per second, the end-of-message latency (from sending the
// end-of-message packet to reading the final reply) at p50, p99 and max, and,
// with --pid, the milter process's CPU per message and its resident memory at
// the message counts of --rss-at (counted from the first message, warm-up
// included). The last line is one "RESULT key=value ..." line for scripts.
//
// Connections are spread over T client threads, each waiting on its own
// event queue, so one client thread can keep many connections busy.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/unique_fd.h"
#include "bench/process_usage.h"
#include "core/message.h"
#include "platform/event_queue.h"
#include "platform/unix_address.h"
#include "tests/milter_wire.h"

namespace tollbrook::bench {

using testing::appendPacket;
using testing::appendWord;
using testing::frontPacket;
using testing::Packet;
using testing::withLfLineEnds;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "milter-load: %s\n", what.c_str());
  std::exit(1);
}

struct Options {
  std::string address;
  size_t connections = 1;
  size_t threads = 1;
  uint64_t messages = 0;  // 0: run for `seconds`
  double seconds = 10;
  uint64_t warmup = 0;
  uint64_t perConnection = 100;
  std::string messageFile;
  char expect = 0;  // 0: any final code
  pid_t pid = 0;
  std::vector<uint64_t> rssAt;
  bool nodelay = false;
};

void usage() {
  die("usage: milter-load --address inet:HOST:PORT|unix:PATH [--connections N] [--threads T]\n"
      "  [--messages M | --seconds S] [--warmup W] [--per-connection K] [--message FILE]\n"
      "  [--expect c|a] [--pid PID] [--rss-at N,N,...] [--nodelay]");
}

uint64_t number(const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') usage();
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--nodelay") {
      options.nodelay = true;
      continue;
    }
    if (i + 1 >= argc) usage();
    const char* value = argv[++i];
    if (flag == "--address") {
      options.address = value;
    } else if (flag == "--connections") {
      options.connections = number(value);
    } else if (flag == "--threads") {
      options.threads = number(value);
    } else if (flag == "--messages") {
      options.messages = number(value);
    } else if (flag == "--seconds") {
      options.seconds = std::atof(value);
    } else if (flag == "--warmup") {
      options.warmup = number(value);
    } else if (flag == "--per-connection") {
      options.perConnection = number(value);
    } else if (flag == "--message") {
      options.messageFile = value;
    } else if (flag == "--expect") {
      options.expect = value[0];
    } else if (flag == "--pid") {
      options.pid = static_cast<pid_t>(number(value));
    } else if (flag == "--rss-at") {
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');) {
        options.rssAt.push_back(number(item.c_str()));
      }
    } else {
      usage();
    }
  }
  if (options.address.empty() || options.connections == 0 || options.threads == 0 ||
      options.perConnection == 0) {
    usage();
  }
  options.threads = std::min(options.threads, options.connections);
  return options;
}

// --- what each connection sends ---

// One step of the conversation: the bytes sent at once (a macro packet and
// its command) and what ends the wait for the answer.
struct Step {
  enum class Kind : uint8_t { Negotiation, Command, EndOfMessage };
  std::string bytes;
  Kind kind = Kind::Command;
};

using Macro = std::pair<std::string_view, std::string_view>;

std::string macroPacket(char stage, std::initializer_list<Macro> macros) {
  std::string data(1, stage);
  for (const auto& [name, value] : macros) {
    data.append(name).push_back('\0');
    data.append(value).push_back('\0');
  }
  std::string out;
  appendPacket(out, 'D', data);
  return out;
}

// The steps of one connection: [0, firstMessageStep) open it, the rest is one
// message, sent again for every message. Header values go with their leading
// space, as agreed in the negotiation (the offer includes it; a milter that
// declines it gets the space as part of the value, which costs the same).
struct Script {
  std::vector<Step> steps;
  size_t firstMessageStep = 0;
};

Script buildScript(std::string_view messageText) {
  Result<Message> parsed = parseMessage(messageText);
  if (!parsed) die("the message does not parse");
  Script script;
  auto add = [&](Step::Kind kind, std::string macros, char code, std::string_view data) {
    Step step{std::move(macros), kind};
    appendPacket(step.bytes, code, data);
    script.steps.push_back(std::move(step));
  };
  std::string offer;
  appendWord(offer, 6);
  appendWord(offer, 0x1FF);
  appendWord(offer, 0x1FFFFF);
  add(Step::Kind::Negotiation, {}, 'O', offer);
  using namespace std::string_view_literals;
  add(Step::Kind::Command,
      macroPacket('C', {{"j", "mx.example.net"},
                        {"{daemon_name}", "mx-in"},
                        {"{daemon_addr}", "198.51.100.7"},
                        {"v", "Postfix 3.7.11"},
                        {"_", "mail.example.org [192.0.2.25]"},
                        {"{client_addr}", "192.0.2.25"},
                        {"{client_name}", "mail.example.org"}}),
      'C',
      "mail.example.org\0"
      "4\x9c\xbb"
      "192.0.2.25\0"sv);
  add(Step::Kind::Command, macroPacket('H', {{"{tls_version}", ""}, {"{cipher}", ""}}), 'H',
      "mail.example.org\0"sv);
  script.firstMessageStep = script.steps.size();
  add(Step::Kind::Command,
      macroPacket('M', {{"i", "4Xb9Zq1vKJz3"},
                        {"{auth_type}", ""},
                        {"{mail_addr}", "alice@example.org"},
                        {"{mail_host}", "example.org"},
                        {"{mail_mailer}", "smtp"}}),
      'M', "<alice@example.org>\0BODY=8BITMIME\0"sv);
  add(Step::Kind::Command,
      macroPacket('R', {{"{rcpt_addr}", "bob@example.com"},
                        {"{rcpt_host}", "example.com"},
                        {"{rcpt_mailer}", "smtp"}}),
      'R', "<bob@example.com>\0"sv);
  for (const HeaderField& field : parsed->headers) {
    std::string data(field.name);
    data.push_back('\0');
    if (field.leadingSpace) data.push_back(' ');
    data.append(withLfLineEnds(field.value)).push_back('\0');
    add(Step::Kind::Command, {}, 'L', data);
  }
  add(Step::Kind::Command, {}, 'N', {});
  constexpr size_t kMaxBodyChunk = 65535;
  for (std::string_view body = parsed->body; !body.empty();) {
    const std::string_view chunk = body.substr(0, kMaxBodyChunk);
    add(Step::Kind::Command, {}, 'B', chunk);
    body.remove_prefix(chunk.size());
  }
  add(Step::Kind::EndOfMessage, macroPacket('E', {{"i", "4Xb9Zq1vKJz3"}}), 'E', {});
  return script;
}

// A plain message of 20 header fields and a 10 KiB body, when no file is given.
std::string defaultMessage() {
  std::string text =
      "From: Alice <alice@example.org>\r\nTo: Bob <bob@example.com>\r\n"
      "Subject: load\r\nDate: Thu, 1 Jan 2026 00:00:00 +0000\r\n"
      "Message-ID: <load@example.org>\r\n";
  for (int i = 0; i < 15; ++i) {
    text += "X-Field-" + std::to_string(i) + ": a value of an ordinary length\r\n";
  }
  text += "\r\n";
  for (int n = 1; text.size() < 11 * 1024; ++n) {
    text += "Line " + std::to_string(n) + " of a message body of plain prose.\r\n";
  }
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) die("cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// --- connecting ---

UniqueFd connectTo(const Options& options) {
  const std::string_view address = options.address;
  UniqueFd fd;
  if (address.starts_with("unix:")) {
    UnixAddress unixAddress;
    if (!makeUnixAddress(address.substr(5), unixAddress)) die("unix path too long");
    fd.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || connect(fd.get(), unixAddress.get(), unixAddress.length) != 0) {
      die("connect to " + options.address + ": " + std::strerror(errno));
    }
    return fd;
  }
  if (!address.starts_with("inet:")) die("the address must start with inet: or unix:");
  const std::string hostPort(address.substr(5));
  const size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) die("inet address without a port");
  const std::string host = hostPort.substr(0, colon);
  const uint16_t port = static_cast<uint16_t>(std::atoi(hostPort.c_str() + colon + 1));
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
             inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    die("not a numeric address: " + host);
  }
  fd.reset(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    die("connect to " + options.address + ": " + std::strerror(errno));
  }
  if (options.nodelay) {
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return fd;
}

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) die(std::string("send: ") + std::strerror(errno));
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
}

// --- the run ---

struct Sample {
  Clock::time_point time;
  double cpuSeconds = 0;        // the milter's
  double clientCpuSeconds = 0;  // this process's, to show what the load itself takes
};

double ownCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Sample sampleNow(pid_t pid) {
  Sample sample{Clock::now(), 0, ownCpuSeconds()};
  if (pid != 0) sample.cpuSeconds = processCpuSeconds(pid).value_or(0);
  return sample;
}

// What the client threads share. The window opens when the warm-up messages
// are done and closes when the counted messages are done or the time is up;
// the thread that completes the message at either edge takes the sample.
struct Run {
  Run(const Options& o, const Script& s) : options(o), script(s) {}

  const Options& options;
  const Script& script;
  std::atomic<uint64_t> completed{0};
  std::atomic<bool> windowOpen{false};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> deadlineNs{0};
  std::atomic<uint64_t> unexpectedCodes{0};
  std::atomic<uint64_t> modifications{0};
  Sample start, end;
  uint64_t counted = 0;
  std::mutex rssLock;  // only for the rare RSS samples
  std::vector<std::pair<uint64_t, long>> rss;

  void openWindow() {
    start = sampleNow(options.pid);
    const auto length = std::chrono::duration<double>(options.seconds);
    deadlineNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            (start.time + std::chrono::duration_cast<Clock::duration>(length)).time_since_epoch())
            .count();
    windowOpen = true;
  }

  void closeWindow(uint64_t completedNow) {
    end = sampleNow(options.pid);
    counted = completedNow - options.warmup;
    stop = true;
  }

  // Called for every completed message; says whether its latency counts.
  bool messageDone() {
    const uint64_t n = completed.fetch_add(1) + 1;
    if (std::find(options.rssAt.begin(), options.rssAt.end(), n) != options.rssAt.end() &&
        options.pid != 0) {
      std::lock_guard guard(rssLock);
      rss.emplace_back(n, processRssKib(options.pid).value_or(-1));
    }
    if (n == options.warmup && options.warmup != 0) {
      openWindow();
      return false;
    }
    if (n <= options.warmup || stop.load(std::memory_order_relaxed)) return false;
    if (options.messages != 0) {
      if (n == options.warmup + options.messages) closeWindow(n);
      return n <= options.warmup + options.messages;
    }
    const int64_t nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    if (nowNs >= deadlineNs.load() && windowOpen && !stop.exchange(true)) {
      closeWindow(n);
    }
    return true;
  }
};

struct Connection {
  UniqueFd fd;
  std::string in;
  size_t step = 0;
  uint64_t messagesHere = 0;
  Clock::time_point eomSent;
};

class ClientThread {
 public:
  // A milter that answers none of this thread's connections for this long
  // ends the run instead of hanging it.
  static constexpr int kPatienceSeconds = 30;

  ClientThread(Run& run, size_t connections) : run_(run), connections_(connections) {}

  void operator()() {
    Result<EventQueue> created = EventQueue::create();
    if (!created) die("cannot create an event queue");
    queue_.emplace(std::move(*created));
    for (size_t i = 0; i < connections_; ++i) openConnection();
    std::vector<Event> events(64);
    int quietSeconds = 0;
    while (!open_.empty()) {
      Result<size_t> ready = queue_->wait(changes_, events, 1000);
      changes_.clear();
      if (!ready) die("event queue wait failed");
      quietSeconds = *ready == 0 ? quietSeconds + 1 : 0;
      if (quietSeconds == kPatienceSeconds) die("no reply from the milter for 30 seconds");
      for (size_t i = 0; i < *ready; ++i) {
        auto found = open_.find(events[i].fd);
        if (found != open_.end() && events[i].filter == EventFilter::Read) readReplies(found);
      }
    }
  }

  std::vector<uint64_t> latenciesNs;

 private:
  using Open = std::unordered_map<int, Connection>;

  void openConnection() {
    Connection connection;
    connection.fd = connectTo(run_.options);
    const int fd = connection.fd.get();
    changes_.push_back({fd, EventChange::Kind::ReadEdge});
    Connection& placed = open_.emplace(fd, std::move(connection)).first->second;
    sendStep(placed);
  }

  void sendStep(Connection& connection) {
    const Step& step = run_.script.steps[connection.step];
    if (step.kind == Step::Kind::EndOfMessage) connection.eomSent = Clock::now();
    sendAll(connection.fd.get(), step.bytes);
  }

  // Edge-triggered: read until the socket has nothing more.
  void readReplies(Open::iterator at) {
    Connection& connection = at->second;
    char buffer[16384];
    for (;;) {
      const ssize_t got = recv(connection.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (got <= 0) die("the milter closed a connection in the middle of a conversation");
      connection.in.append(buffer, static_cast<size_t>(got));
      if (!takeReplies(at)) return;  // the connection was closed
      // A short read emptied the socket: the next bytes bring a new edge, so
      // the read that would only say "would block" is saved.
      if (static_cast<size_t>(got) < sizeof buffer) return;
    }
  }

  // False when the connection ended.
  bool takeReplies(Open::iterator at) {
    Connection& connection = at->second;
    size_t used = 0;
    bool open = true;
    while (open) {
      std::optional<Packet> reply = frontPacket(std::string_view(connection.in).substr(used));
      if (!reply) break;
      if (reply->code == 0) die("the milter sent a packet of impossible length");
      used += reply->size;
      open = answer(at, reply->code);
    }
    if (open) connection.in.erase(0, used);
    return open;
  }

  static bool isFinalCode(char code) {
    return code == 'a' || code == 'c' || code == 'd' || code == 'r' || code == 't' || code == 'y';
  }

  bool answer(Open::iterator at, char code) {
    Connection& connection = at->second;
    const Step& step = run_.script.steps[connection.step];
    if (step.kind == Step::Kind::Negotiation) {
      if (code != 'O') die("the negotiation was not answered with O");
    } else if (!isFinalCode(code)) {
      run_.modifications.fetch_add(1, std::memory_order_relaxed);
      return true;  // a header change before the final reply
    }
    if (step.kind != Step::Kind::EndOfMessage) {
      if (step.kind == Step::Kind::Command && code != 'c') {
        die(std::string("a command before end of message was answered ") + code);
      }
      ++connection.step;
      sendStep(connection);
      return true;
    }
    return messageEnded(at, code);
  }

  bool messageEnded(Open::iterator at, char code) {
    Connection& connection = at->second;
    const uint64_t latency = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - connection.eomSent)
            .count());
    if (run_.options.expect != 0 && code != run_.options.expect) {
      run_.unexpectedCodes.fetch_add(1, std::memory_order_relaxed);
    }
    if (run_.messageDone()) latenciesNs.push_back(latency);
    ++connection.messagesHere;
    const bool stopping = run_.stop.load(std::memory_order_relaxed);
    if (stopping || connection.messagesHere == run_.options.perConnection) {
      sendAll(connection.fd.get(), std::string_view("\0\0\0\1Q", 5));
      queue_->forget(connection.fd.get());
      open_.erase(at);
      if (!stopping) openConnection();
      return false;
    }
    connection.step = run_.script.firstMessageStep;
    sendStep(connection);
    return true;
  }

  Run& run_;
  size_t connections_;
  std::optional<EventQueue> queue_;
  std::vector<EventChange> changes_;
  Open open_;
};

double percentile(const std::vector<uint64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = std::min(sorted.size() - 1,
                                static_cast<size_t>(fraction * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[index]) / 1e6;
}

int runLoad(const Options& options) {
  const std::string text =
      options.messageFile.empty() ? defaultMessage() : readFile(options.messageFile);
  const Script script = buildScript(text);
  Run run(options, script);
  if (options.warmup == 0) run.openWindow();

  std::vector<ClientThread> clients;
  for (size_t t = 0; t < options.threads; ++t) {
    const size_t share =
        options.connections / options.threads + (t < options.connections % options.threads ? 1 : 0);
    clients.emplace_back(run, share);
  }
  std::vector<std::thread> threads;
  for (ClientThread& client : clients) threads.emplace_back(std::ref(client));
  for (std::thread& thread : threads) thread.join();
  if (!run.stop) die("the run ended before its window closed");

  std::vector<uint64_t> latencies;
  for (ClientThread& client : clients) {
    latencies.insert(latencies.end(), client.latenciesNs.begin(), client.latenciesNs.end());
  }
  std::sort(latencies.begin(), latencies.end());
  const double wall = std::chrono::duration<double>(run.end.time - run.start.time).count();
  const double perSecond = static_cast<double>(run.counted) / wall;
  const double p50 = percentile(latencies, 0.50), p99 = percentile(latencies, 0.99);
  const double max = latencies.empty() ? 0 : static_cast<double>(latencies.back()) / 1e6;

  std::printf("%llu messages in %.2f s over %zu connection(s): %.0f messages/s\n",
              static_cast<unsigned long long>(run.counted), wall, options.connections, perSecond);
  std::printf("end of message to final reply: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", p50, p99,
              max);
  std::printf("header changes received: %llu; unexpected final codes: %llu\n",
              static_cast<unsigned long long>(run.modifications.load()),
              static_cast<unsigned long long>(run.unexpectedCodes.load()));
  const double clientCpuPerMessage = (run.end.clientCpuSeconds - run.start.clientCpuSeconds) * 1e6 /
                                     static_cast<double>(std::max<uint64_t>(run.counted, 1));
  std::printf("load generator CPU: %.1f us per message\n", clientCpuPerMessage);
  double cpuPerMessage = 0;
  if (options.pid != 0) {
    cpuPerMessage = (run.end.cpuSeconds - run.start.cpuSeconds) * 1e6 /
                    static_cast<double>(std::max<uint64_t>(run.counted, 1));
    std::printf("milter CPU: %.1f us per message (%.2f s over the window)\n", cpuPerMessage,
                run.end.cpuSeconds - run.start.cpuSeconds);
    std::sort(run.rss.begin(), run.rss.end());
    for (const auto& [at, kib] : run.rss) {
      std::printf("milter RSS at message %llu: %ld KiB\n", static_cast<unsigned long long>(at),
                  kib);
    }
  }
  std::printf(
      "RESULT messages=%llu seconds=%.3f rate=%.1f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f "
      "cpu_us=%.1f client_cpu_us=%.1f unexpected=%llu",
      static_cast<unsigned long long>(run.counted), wall, perSecond, p50, p99, max, cpuPerMessage,
      clientCpuPerMessage, static_cast<unsigned long long>(run.unexpectedCodes.load()));
  for (const auto& [at, kib] : run.rss) {
    std::printf(" rss_%llu_kib=%ld", static_cast<unsigned long long>(at), kib);
  }
  std::printf("\n");
  return run.unexpectedCodes.load() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace tollbrook::bench

int main(int argc, char** argv) {
  return tollbrook::bench::runLoad(tollbrook::bench::parseOptions(argc, argv));
}
