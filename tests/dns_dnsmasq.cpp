#include "tests/dns_dnsmasq.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace tollbrook::testing {

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool acceptsTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

uint16_t pickFreeLoopbackPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        bind(tcp, reinterpret_cast<sockaddr*>(&address), length) == 0) {
      port = ntohs(address.sin_port);
    }
    close(udp);
    close(tcp);
    if (port != 0) return port;
  }
  return 0;
}

DnsmasqServer::DnsmasqServer(const std::vector<std::string>& txtRecords,
                             const std::vector<std::string>& localDomains, std::string program,
                             DnsmasqLimits limits)
    : program_(std::move(program)), limits_(limits) {
  if (program_.empty()) {
    failure_ = missingText(OutsideProgram::Dnsmasq);
    return;
  }
  // The port may be taken between the pick and dnsmasq's bind: dnsmasq then
  // ends at once, and another port is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    failure_.clear();
    port_ = pickFreeLoopbackPort();
    if (port_ == 0) {
      failure_ = "no free loopback port for dnsmasq";
      return;
    }
    if (!spawn(txtRecords, localDomains)) return;
    if (waitReady()) return;
    const bool endedByItself = pid_ == 0;
    stop();
    if (!endedByItself) break;
  }
  failure_ += dnsmasqSaid();
}

DnsmasqServer::~DnsmasqServer() {
  if (!stop()) ADD_FAILURE() << failure_ << dnsmasqSaid();
}

bool DnsmasqServer::spawn(const std::vector<std::string>& txtRecords,
                          const std::vector<std::string>& localDomains) {
  std::vector<std::string> args = {program_,
                                   "--no-daemon",
                                   "--port=" + std::to_string(port_),
                                   "--listen-address=127.0.0.1",
                                   "--bind-interfaces",
                                   "--no-resolv",
                                   "--no-hosts",
                                   "--conf-file=/dev/null",
                                   "--pid-file",
                                   "--user=root"};
  for (const std::string& domain : localDomains) args.push_back("--local=/" + domain + "/");
  for (const std::string& record : txtRecords) args.push_back("--txt-record=" + record);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string log = dir_.file("dnsmasq.log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    failure_ = "cannot start " + program_ + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  return true;
}

bool DnsmasqServer::waitReady() {
  const auto deadline = std::chrono::steady_clock::now() + limits_.ready;
  while (!acceptsTcp(port_)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: port taken, or a bad option
      pid_ = 0;
      noteFailure("dnsmasq ended before it answered");
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      noteFailure("dnsmasq did not answer on 127.0.0.1:" + std::to_string(port_) + " within " +
                  std::to_string(limits_.ready.count()) + " ms");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool DnsmasqServer::stop() {
  if (pid_ == 0) return true;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + limits_.stop;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = 0;
      noteFailure("dnsmasq did not stop within " + std::to_string(limits_.stop.count()) +
                  " ms of SIGTERM; killed it");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = 0;
  return true;
}

void DnsmasqServer::noteFailure(const std::string& what) {
  if (!failure_.empty()) failure_ += "; ";
  failure_ += what;
}

std::string DnsmasqServer::dnsmasqSaid() const {
  std::string said = readFile(dir_.file("dnsmasq.log"));
  while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
  return said.empty() ? "" : " (dnsmasq said: " + said + ")";
}

}  // namespace tollbrook::testing
