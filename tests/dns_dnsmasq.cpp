#include "tests/dns_dnsmasq.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
                             const std::vector<std::string>& localDomains) {
  if (access(kDnsmasqPath, X_OK) != 0) return;
  // The port may be taken between the pick and dnsmasq's bind; try again then.
  for (int attempt = 0; attempt < 5 && pid_ == 0; ++attempt) {
    port_ = pickFreeLoopbackPort();
    if (port_ != 0 && spawn(txtRecords, localDomains) && waitReady()) return;
    stop();
  }
}

DnsmasqServer::~DnsmasqServer() {
  stop();
}

bool DnsmasqServer::spawn(const std::vector<std::string>& txtRecords,
                          const std::vector<std::string>& localDomains) {
  std::vector<std::string> args = {kDnsmasqPath,
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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, kDnsmasqPath, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  return true;
}

bool DnsmasqServer::waitReady() {
  for (int i = 0; i < 200; ++i) {
    if (acceptsTcp(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {  // exited: port taken, or a bad option
      pid_ = 0;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void DnsmasqServer::stop() {
  if (pid_ == 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
}

}  // namespace tollbrook::testing
