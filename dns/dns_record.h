// One answer resource record as the resolver hands it to callers. TXT data is
// all character-strings of the record joined without separator.
#ifndef TOLLBROOK_DNS_DNS_RECORD_H_
#define TOLLBROOK_DNS_DNS_RECORD_H_

#include <cstdint>
#include <string>

namespace tollbrook {

inline constexpr uint16_t kDnsTypeTxt = 16;

struct DnsRecord {
  std::string name;  // owner name, dotted, no trailing dot
  std::string data;  // TXT: joined strings; CNAME/PTR/MX: target name; else raw RDATA
  uint32_t ttl = 0;
  uint16_t type = 0;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DNS_DNS_RECORD_H_
