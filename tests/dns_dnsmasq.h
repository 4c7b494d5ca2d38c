// dnsmasq (the one the build found, see tests/outside_programs.h) started by a
// test on 127.0.0.1 at a port it picks, serving TXT records given as dnsmasq
// --txt-record values ("name,text[,text...]"; dnsmasq splits texts over 255
// bytes into several character-strings) and NXDOMAIN for other names under the
// local domains. Every wait for it is bounded: one that does not answer in time
// is killed, one that ignores SIGTERM on destruction is killed and the test
// fails. Test-thread only.
#ifndef TOLLBROOK_TESTS_DNS_DNSMASQ_H_
#define TOLLBROOK_TESTS_DNS_DNSMASQ_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/outside_programs.h"
#include "tests/program_run.h"

namespace tollbrook::testing {

// How long dnsmasq gets. Generous: it needs milliseconds on an idle machine.
struct DnsmasqLimits {
  std::chrono::milliseconds ready{20'000};  // from start to answering on its port
  std::chrono::milliseconds stop{10'000};   // from SIGTERM to its exit, before SIGKILL
};

class DnsmasqServer {
 public:
  explicit DnsmasqServer(const std::vector<std::string>& txtRecords,
                         const std::vector<std::string>& localDomains = {"test", "example"},
                         std::string program = std::string(programPath(OutsideProgram::Dnsmasq)),
                         DnsmasqLimits limits = {});
  ~DnsmasqServer();
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;

  // False when dnsmasq is missing or could not be started; failure() says why.
  bool running() const { return pid_ != 0; }
  uint16_t port() const { return port_; }
  const std::string& failure() const { return failure_; }

 private:
  bool spawn(const std::vector<std::string>& txtRecords,
             const std::vector<std::string>& localDomains);
  bool waitReady();
  // False when dnsmasq had to be killed.
  bool stop();
  void noteFailure(const std::string& what);
  // What dnsmasq wrote to its standard error, as a note for failure().
  std::string dnsmasqSaid() const;

  std::string program_;
  DnsmasqLimits limits_;
  ScratchDir dir_;  // dnsmasq's standard error, for failure()
  pid_t pid_ = 0;
  uint16_t port_ = 0;
  std::string failure_;
};

// A loopback port free for both UDP and TCP at the time of the call; 0 if none.
uint16_t pickFreeLoopbackPort();

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DNS_DNSMASQ_H_
