// dnsmasq (Debian's, /usr/sbin/dnsmasq) started by a test on 127.0.0.1 at a
// port it picks, serving TXT records given as dnsmasq --txt-record values
// ("name,text[,text...]"; dnsmasq splits texts over 255 bytes into several
// character-strings) and NXDOMAIN for other names under the local domains.
// Stopped (SIGTERM, waited for) on destruction. Test-thread only.
#ifndef TOLLBROOK_TESTS_DNS_DNSMASQ_H_
#define TOLLBROOK_TESTS_DNS_DNSMASQ_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tollbrook::testing {

inline constexpr const char kDnsmasqPath[] = "/usr/sbin/dnsmasq";

class DnsmasqServer {
 public:
  explicit DnsmasqServer(const std::vector<std::string>& txtRecords,
                         const std::vector<std::string>& localDomains = {"test", "example"});
  ~DnsmasqServer();
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;

  // False when dnsmasq is missing or could not be started.
  bool running() const { return pid_ != 0; }
  uint16_t port() const { return port_; }

 private:
  bool spawn(const std::vector<std::string>& txtRecords,
             const std::vector<std::string>& localDomains);
  bool waitReady();
  void stop();

  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

// A loopback port free for both UDP and TCP at the time of the call; 0 if none.
uint16_t pickFreeLoopbackPort();

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_DNS_DNSMASQ_H_
