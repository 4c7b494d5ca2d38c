#include "tests/daemon_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "base/clock.h"
#include "base/unique_fd.h"

extern char** environ;

namespace tollbrook::testing {

namespace {

// The loopback addresses 127.0.53.2 to 127.0.53.254; test binaries that run
// at the same time pick at random and try another when one is taken.
constexpr int kFirstHost = 2;
constexpr int kLastHost = 254;

// Seeded from the kernel: processes started together must not walk the same
// sequence of addresses (a seed of pid and time does when both differ by one).
std::string randomLoopback53() {
  static std::mt19937 generator(std::random_device{}());
  std::uniform_int_distribution<int> host(kFirstHost, kLastHost);
  return "127.0.53." + std::to_string(host(generator));
}

// An exclusive claim on `address` among the test processes of this machine:
// an flock on a file named after it, held as long as the descriptor is open
// and dropped by the kernel when the process dies. Invalid when another
// process holds it.
UniqueFd claimAddress(const std::string& address) {
  const std::string path = "/tmp/tollbrook-test-dns-" + address + ".lock";
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return UniqueFd();
  return fd;
}

sockaddr_in inetAddress(const std::string& ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

bool acceptsTcp(const std::string& ip, uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = inetAddress(ip, port);
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

pid_t spawnWithOutput(std::vector<std::string> args, const std::string& outputPath) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// waitpid with a bound: the status, -1 after a signal, -2 when still running.
int reapWithin(pid_t pid, int timeoutMs) {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0 && errno != EINTR) return -1;
    if (monotonicMilliseconds() >= deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

size_t occurrences(std::string_view text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

std::string base64Of(const unsigned char* bytes, int length) {
  std::string out(static_cast<size_t>(4 * ((length + 2) / 3)) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, length);
  out.resize(static_cast<size_t>(written));
  return out;
}

}  // namespace

std::string daemonPath() {
  return std::string(TOLLBROOK_BINARY_DIR) + "/daemon/tollbrook";
}

bool runningAsRoot() {
  return geteuid() == 0;
}

DaemonProcess::DaemonProcess(const ScratchDir& dir, std::vector<std::string> arguments) {
  static int started = 0;
  logPath_ = dir.file("daemon-" + std::to_string(++started) + ".log");
  std::vector<std::string> args = {daemonPath()};
  args.insert(args.end(), arguments.begin(), arguments.end());
  pid_ = spawnWithOutput(std::move(args), logPath_);
}

DaemonProcess::DaemonProcess(DaemonProcess&& other) noexcept
    : logPath_(std::move(other.logPath_)),
      pid_(std::exchange(other.pid_, -1)),
      exitStatus_(other.exitStatus_) {}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    (void)reapWithin(pid_, 10000);
  }
  if (logPath_.empty()) return;
  const std::string text = log();
  if (text.find("Sanitizer") != std::string::npos) {
    ADD_FAILURE() << "the daemon reported a sanitizer finding:\n" << text;
  }
}

bool DaemonProcess::alive() const {
  if (pid_ <= 0) return false;
  siginfo_t info{};
  // WNOWAIT: look without reaping, so waitForExit still gets the status.
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

std::string DaemonProcess::log() const {
  return readFile(logPath_);
}

bool DaemonProcess::waitForLog(std::string_view text, size_t count, int timeoutMs) const {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (occurrences(log(), text) >= count) return true;
    if (monotonicMilliseconds() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> DaemonProcess::logLines(std::string_view text) const {
  std::vector<std::string> lines;
  const std::string all = log();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(start, end - start);
    if (line.find(text) != std::string::npos) lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool DaemonProcess::waitUntilListening(uint16_t port, int timeoutMs) const {
  const int64_t deadline = monotonicMilliseconds() + timeoutMs;
  for (;;) {
    if (acceptsTcp("127.0.0.1", port)) return true;
    if (!alive()) return false;
    if (monotonicMilliseconds() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void DaemonProcess::signal(int number) const {
  if (pid_ > 0) kill(pid_, number);
}

int DaemonProcess::waitForExit(int timeoutMs) {
  if (pid_ <= 0) return exitStatus_;
  exitStatus_ = reapWithin(pid_, timeoutMs);
  if (exitStatus_ == -2) {
    kill(pid_, SIGKILL);
    (void)reapWithin(pid_, 10000);
  }
  pid_ = -1;
  return exitStatus_;
}

PortFiftyThreeDns::PortFiftyThreeDns(const std::map<std::string, std::string>& txtRecords) {
  if (std::string_view(TOLLBROOK_DNSMASQ).empty()) {
    failure_ = "dnsmasq was not found when the build was configured";
    return;
  }
  if (!runningAsRoot()) {
    failure_ = "binding port 53 needs root";
    return;
  }
  for (int attempt = 0; attempt < 20; ++attempt) {
    address_ = randomLoopback53();
    // Claimed by another test, or served by something that does not claim
    // (a dnsmasq started by hand): the readiness check below would take that
    // server's answers for ours.
    addressLock_ = claimAddress(address_);
    if (!addressLock_.valid() || acceptsTcp(address_, 53)) continue;
    if (spawn(txtRecords) && waitReady()) return;
    stop();
  }
  failure_ = "dnsmasq did not start on port 53 of any 127.0.53.x address tried";
}

PortFiftyThreeDns::~PortFiftyThreeDns() {
  stop();
}

bool PortFiftyThreeDns::spawn(const std::map<std::string, std::string>& txtRecords) {
  std::vector<std::string> args = {
      TOLLBROOK_DNSMASQ,   "--no-daemon", "--port=53",         "--listen-address=" + address_,
      "--bind-interfaces", "--no-resolv", "--no-hosts",        "--conf-file=/dev/null",
      "--pid-file",        "--user=root", "--local=/example/", "--local=/test/"};
  for (const auto& [name, text] : txtRecords) {
    // A character-string holds 255 bytes; dnsmasq takes the pieces after commas.
    std::string value = "--txt-record=" + name;
    for (size_t at = 0; at < text.size(); at += 250) value += "," + text.substr(at, 250);
    args.push_back(std::move(value));
  }
  pid_ = spawnWithOutput(std::move(args), "/dev/null");
  return pid_ > 0;
}

bool PortFiftyThreeDns::waitReady() {
  for (int i = 0; i < 400; ++i) {
    if (acceptsTcp(address_, 53)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: the address was taken
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void PortFiftyThreeDns::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (reapWithin(pid_, 10000) == -2) {
      kill(pid_, SIGKILL);
      (void)reapWithin(pid_, 10000);
    }
    pid_ = -1;
  }
  // The address is free for others only once our server is gone. The lock
  // file stays: removing it could let two processes lock two different files
  // of one name.
  addressLock_.reset();
}

ClaimedLoopback silentLoopbackAddress() {
  for (int attempt = 0; attempt < 40; ++attempt) {
    std::string address = randomLoopback53();
    UniqueFd lock = claimAddress(address);
    if (lock.valid() && !acceptsTcp(address, 53)) return {std::move(address), std::move(lock)};
  }
  return {"127.0.53.1", UniqueFd()};
}

std::string writeRsaKey(const std::string& path, int bits, unsigned mode) {
  EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
  if (key == nullptr) return {};
  std::string record;
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (file != nullptr &&
      PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length > 0) record = "v=DKIM1; k=rsa; p=" + base64Of(der, length);
    OPENSSL_free(der);
  }
  if (file != nullptr) fclose(file);
  if (file == nullptr && fd >= 0) close(fd);
  EVP_PKEY_free(key);
  if (chmod(path.c_str(), mode) != 0) return {};
  return record;
}

std::string ConfigText::text() const {
  std::string out = "[global]\n";
  for (const std::string& line : global) out += line + "\n";
  for (const auto& [name, lines] : listeners) {
    out += "[listener:" + name + "]\n";
    for (const std::string& line : lines) out += line + "\n";
  }
  return out;
}

ConfigText baseConfig(const ScratchDir& dir, std::string_view logLevel) {
  return ConfigText{{"Foreground = yes", "Syslog = no", "LogLevel = " + std::string(logLevel),
                     "PidFile = " + dir.file("run/tollbrook.pid"), "WorkerThreads = 2",
                     "DnsTimeout = 1", "DnsRetries = 0"},
                    {}};
}

MtaMessage sampleMessage(std::string_view tag) {
  MtaMessage message;
  message.queueId = "Q" + std::string(tag);
  message.text =
      "From: Alice <alice@example.org>\r\n"
      "To: Bob <bob@example.com>\r\n"
      "Subject: sample " +
      std::string(tag) +
      "\r\n"
      "Date: Thu, 1 Jan 2026 12:00:00 +0000\r\n"
      "Message-ID: <sample-" +
      std::string(tag) +
      "@example.org>\r\n"
      "\r\n"
      "Hello Bob,\r\nthis is sample " +
      std::string(tag) + ".\r\n";
  return message;
}

std::optional<HeaderChange> insertedField(const EndOfMessage& answer, std::string_view name) {
  for (const MilterReply& reply : answer.modifications) {
    std::optional<HeaderChange> change = decodeHeaderChange(reply);
    if (change && change->code == 'i' && change->name == name) return change;
  }
  return std::nullopt;
}

std::optional<MilterClient> openMilterSession(uint16_t port, std::string& failure) {
  Result<MilterClient> client = MilterClient::connectTcp(port);
  if (!client) {
    failure = "connect: " + std::string(errorName(client.error()));
    return std::nullopt;
  }
  if (!client->negotiate()) {
    failure = "negotiation failed";
    return std::nullopt;
  }
  Result<char> opened = client->openSession(MtaSession{});
  if (!opened || *opened != 'c') {
    failure = "connect/helo not answered with continue";
    return std::nullopt;
  }
  return std::move(*client);
}

std::string deliveredText(const MtaMessage& message, const EndOfMessage& answer,
                          bool leadingSpace) {
  return applyHeaderChanges(message.text, answer.modifications, leadingSpace);
}

}  // namespace tollbrook::testing
