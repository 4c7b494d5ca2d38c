#include "daemon/config/daemon_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "testsupport/alloc_failure.h"
#include "testsupport/test_text.h"

namespace tollbrook {
namespace {

using ::tollbrook::testing::show;

template <typename T>
std::string optionalText(const std::optional<T>& value) {
  return value ? std::string(*value) : std::string("absent");
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : "|") + item;
  return out;
}

// "inet 0.0.0.0 8895 verify|unix /run/a.sock seal"
std::string listenersOf(const DaemonConfig& config) {
  std::string out;
  for (size_t i = 0; i < config.listeners.size(); ++i) {
    const ListenAddress& address = config.listeners[i];
    if (!out.empty()) out += "|";
    out += address.isUnix ? "unix " + address.address
                          : "inet " + address.address + " " + std::to_string(address.port);
    out += " ";
    out += i < config.listenerModes.size() ? listenerModeWord(config.listenerModes[i]) : "none";
  }
  return out;
}

// Every field of a configuration as text, by field name.
std::map<std::string, std::string> describe(const DaemonConfig& c) {
  char umask[16] = "absent";
  if (c.umask) std::snprintf(umask, sizeof(umask), "0%o", static_cast<unsigned>(*c.umask));
  auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
  return {
      {"localAuthMethods", joined(c.localAuthMethods)},
      {"maxBodyBytes", std::to_string(c.maxBodyBytes)},
      {"maxHeaders", std::to_string(c.maxHeaders)},
      {"maxHeaderBytes", std::to_string(c.maxHeaderBytes)},
      {"maxSignatures", std::to_string(c.maxSignatures)},
      {"pidFile", c.pidFile},
      {"maxEvaluationMs", std::to_string(c.maxEvaluationMs)},
      {"user", optionalText(c.user)},
      {"dnsNameservers", joined(c.dnsNameservers)},
      {"listeners", listenersOf(c)},
      {"sealDomain", optionalText(c.sealDomain)},
      {"authservId", c.authservId},
      {"sealSelector", optionalText(c.sealSelector)},
      {"sealKeyFile", optionalText(c.sealKeyFile)},
      {"signedHeaders", c.signedHeaders},
      {"zmqEndpoint", optionalText(c.zmqEndpoint)},
      {"zmqTopic", c.zmqTopic},
      {"workerThreads", std::to_string(c.workerThreads)},
      {"maxConnections", std::to_string(c.maxConnections)},
      {"dnsTimeoutMs", std::to_string(c.dnsTimeoutMs)},
      {"dnsCacheSize", std::to_string(c.dnsCacheSize)},
      {"dnsNegativeTtl", std::to_string(c.dnsNegativeTtl)},
      {"minimumKeyBits", std::to_string(c.minimumKeyBits)},
      {"minimumKeyBitsRaised", flag(c.minimumKeyBitsRaised)},
      {"umask", umask},
      {"maxKeyRecords", std::to_string(c.maxKeyRecords)},
      {"stripAuthResults", flag(c.stripAuthResults)},
      {"dnsRetries", std::to_string(c.dnsRetries)},
      {"foreground", flag(c.foreground)},
      {"onDnsError", std::string(onDnsErrorWord(c.onDnsError))},
  };
}

struct Built {
  Result<DaemonConfig> config;
  std::string output;  // what reached standard error
};

Built buildFromText(const std::string& text) {
  auto document = parseIniText(text);
  EXPECT_TRUE(document) << "input " << show(text);
  if (!document) return {fail(document.error()), ""};
  ::testing::internal::CaptureStderr();
  Result<DaemonConfig> config = buildDaemonConfig(*document);
  return {std::move(config), ::testing::internal::GetCapturedStderr()};
}

std::string outcome(std::optional<Error> error) {
  return error ? std::string(errorName(*error)) : std::string("a configuration");
}

// The start of a log line on standard error, before the daemon sets its ident.
std::string logPrefix() {
  const LogSettings& settings = logSettings();
  return std::string(settings.ident, settings.identLength) + "[0]: ";
}

TEST(DaemonConfig, EmptyFileGivesEveryDefaultAndTheDefaultListener) {
  Built built = buildFromText("");
  ASSERT_TRUE(built.config);
  EXPECT_EQ(built.output, "");
  const std::map<std::string, std::string> want = {
      {"localAuthMethods", ""},
      {"maxBodyBytes", "10485760"},
      {"maxHeaders", "500"},
      {"maxHeaderBytes", "1048576"},
      {"maxSignatures", "20"},
      {"pidFile", "/var/run/tollbrook/tollbrook.pid"},
      {"maxEvaluationMs", "20000"},
      {"user", "absent"},
      {"dnsNameservers", "127.0.0.1"},
      {"listeners", "inet 127.0.0.1 8895 verify"},
      {"sealDomain", "absent"},
      {"authservId", "localhost"},
      {"sealSelector", "absent"},
      {"sealKeyFile", "absent"},
      {"signedHeaders", "from:to:subject:date:message-id"},
      {"zmqEndpoint", "absent"},
      {"zmqTopic", "arc"},
      {"workerThreads", "0"},
      {"maxConnections", "256"},
      {"dnsTimeoutMs", "5000"},
      {"dnsCacheSize", "1000"},
      {"dnsNegativeTtl", "60"},
      {"minimumKeyBits", "1024"},
      {"minimumKeyBitsRaised", "false"},
      {"umask", "absent"},
      {"maxKeyRecords", "3"},
      {"stripAuthResults", "false"},
      {"dnsRetries", "2"},
      {"foreground", "false"},
      {"onDnsError", "tempfail"},
  };
  auto got = describe(*built.config);
  for (const auto& [field, value] : want) {
    EXPECT_EQ(got[field], value) << "field " << field;
  }
  EXPECT_EQ(got.size(), want.size());
}

TEST(DaemonConfig, ReadsEachValueByItsRule) {
  struct Case {
    std::string text;
    std::string field;
    std::string want;
  };
  const Case cases[] = {
      {"MaxConnections=1_000", "maxConnections", "1000"},
      {"MaxConnections=abc", "maxConnections", "256"},
      {"MaxConnections=-5", "maxConnections", "256"},
      {"MaxConnections=", "maxConnections", "256"},
      {"MaxConnections=-0", "maxConnections", "0"},
      {"MaxConnections=4294967296", "maxConnections", "256"},
      {"WorkerThreads=4", "workerThreads", "4"},
      {"MaxKeyRecords=300", "maxKeyRecords", "3"},
      {"MaxKeyRecords=255", "maxKeyRecords", "255"},
      // Mended: 0 would try no record and fail every signature.
      {"MaxKeyRecords=0", "maxKeyRecords", "3"},
      {"DnsRetries=0", "dnsRetries", "0"},
      {"DnsNegativeTTL=0", "dnsNegativeTtl", "0"},
      {"MaxHeaders=1000", "maxHeaders", "1000"},
      {"MaxSignatures=5", "maxSignatures", "5"},
      {"MaxBodyBytes=10 MB", "maxBodyBytes", "10485760"},
      {"MaxBodyBytes=5b", "maxBodyBytes", "5"},
      {"MaxBodyBytes=lots", "maxBodyBytes", "10485760"},
      {"MaxHeaderBytes=2k", "maxHeaderBytes", "2048"},
      {"MinimumKeyBits=512", "minimumKeyBits", "1024"},
      {"MinimumKeyBits=512", "minimumKeyBitsRaised", "true"},
      {"MinimumKeyBits=4096", "minimumKeyBits", "4096"},
      {"MinimumKeyBits=4096", "minimumKeyBitsRaised", "false"},
      {"MinimumKeyBits=abc", "minimumKeyBitsRaised", "false"},
      {"MinimumKeyBits=1024", "minimumKeyBitsRaised", "false"},
      {"UMask=027", "umask", "027"},
      {"UMask= 0", "umask", "00"},
      {"Foreground=YES", "foreground", "true"},
      {"Foreground=maybe", "foreground", "false"},
      {"StripAuthResults=true", "stripAuthResults", "true"},
      {"DnsTimeout=2", "dnsTimeoutMs", "2000"},
      {"DnsTimeout=4294967", "dnsTimeoutMs", "4294967000"},
      // Mended: milliseconds over 32 bits saturate instead of wrapping, and 0
      // (a socket that waits forever) means the default.
      {"DnsTimeout=4294968", "dnsTimeoutMs", "4294967295"},
      {"DnsTimeout=0", "dnsTimeoutMs", "5000"},
      {"DnsTimeout=4294967296", "dnsTimeoutMs", "5000"},
      {"DnsCacheSize=10", "dnsCacheSize", "10"},
      {"DnsCacheSize=0", "dnsCacheSize", "1000"},
      {"MaxEvaluationMs=0", "maxEvaluationMs", "0"},
      {"MaxEvaluationMs=-0", "maxEvaluationMs", "0"},
      {"MaxEvaluationMs=1_500", "maxEvaluationMs", "1500"},
      {"MaxEvaluationMs=-1", "maxEvaluationMs", "20000"},
      {"MaxEvaluationMs=soon", "maxEvaluationMs", "20000"},
      {"LocalAuthMethods= spf, ,dkim\t", "localAuthMethods", "spf|dkim"},
      {"LocalAuthMethods=", "localAuthMethods", ""},
      {"DnsNameserver=192.0.2.1, 2001:db8::1,", "dnsNameservers", "192.0.2.1|2001:db8::1"},
      {"AuthservID=", "authservId", ""},
      {"AuthservID=mx.example.org", "authservId", "mx.example.org"},
      {"User=mail:mail", "user", "mail:mail"},
      {"User=", "user", ""},
      {"PidFile=/tmp/t.pid", "pidFile", "/tmp/t.pid"},
      {"SignedHeaders=from:subject", "signedHeaders", "from:subject"},
      {"ZmqEndpoint=tcp://127.0.0.1:5555", "zmqEndpoint", "tcp://127.0.0.1:5555"},
      {"ZmqTopic=", "zmqTopic", ""},
      {"On-DNSError=skip-seal", "onDnsError", "skip-seal"},
      {"On-DNSError=seal-fail", "onDnsError", "seal-fail"},
      // Only [global] is read; other sections are checked and ignored.
      {"[other]\nMaxConnections=5", "maxConnections", "256"},
      {"[Global]\nMaxConnections=5", "maxConnections", "256"},
      {"[other]\nSealDomain=x.example", "sealDomain", "absent"},
      {"MaxConnections=5\n[other]\n[global]\nMaxConnections=6", "maxConnections", "6"},
  };
  for (const auto& c : cases) {
    Built built = buildFromText(c.text);
    ASSERT_TRUE(built.config) << "input " << show(c.text) << ": "
                              << errorName(built.config.error());
    std::string got = describe(*built.config)[c.field];
    EXPECT_EQ(got, c.want) << "input " << show(c.text) << " field " << c.field << ": got " << got
                           << ", want " << c.want;
    EXPECT_EQ(built.output, "") << "input " << show(c.text);
  }
}

TEST(DaemonConfig, BuildsListenersAndTheSealIdentity) {
  struct Case {
    std::string text;
    std::string field;
    std::string want;
  };
  const Case cases[] = {
      {"[listener:a]\nSocket=8895", "listeners", "inet 0.0.0.0 8895 verify"},
      {"Mode=seal\n[global]\nAuthservID=x", "listeners", "inet 127.0.0.1 8895 seal"},
      {"Mode=both\n[listener:a]\nSocket=unix:/run/a.sock\n"
       "[listener:b]\nSocket=inet:25@127.0.0.1\nMode=seal",
       "listeners", "unix /run/a.sock both|inet 127.0.0.1 25 seal"},
      // A reopened listener section is still one listener, in its first place.
      {"[listener:a]\nSocket=1\n[listener:b]\nSocket=2\n[listener:a]\nMode=seal", "listeners",
       "inet 0.0.0.0 1 seal|inet 0.0.0.0 2 verify"},
      {"[listener:]\nSocket=/run/x.sock", "listeners", "unix /run/x.sock verify"},
      {"[Listener:a]\nMode=seal", "listeners", "inet 127.0.0.1 8895 verify"},
      // The last listener section that sets a seal key wins; [global] fills the rest.
      {"SealKeyFile=/g.pem\n[listener:a]\nSocket=1\nSealKeyFile=/a.pem\n"
       "[listener:b]\nSocket=2\nSealKeyFile=/b.pem",
       "sealKeyFile", "/b.pem"},
      {"SealKeyFile=/g.pem\n[listener:a]\nSocket=1\nSealKeyFile=/a.pem\n[listener:b]\nSocket=2",
       "sealKeyFile", "/a.pem"},
      {"SealDomain=g.example\nSealSelector=gs\n[listener:a]\nSocket=1\nSealSelector=as",
       "sealSelector", "as"},
      {"SealDomain=g.example\nSealSelector=gs\n[listener:a]\nSocket=1\nSealSelector=as",
       "sealDomain", "g.example"},
      {"SealSelector=gs\n[listener:a]\nSocket=1\nSealSelector=", "sealSelector", ""},
  };
  for (const auto& c : cases) {
    Built built = buildFromText(c.text);
    ASSERT_TRUE(built.config) << "input " << show(c.text) << ": "
                              << errorName(built.config.error());
    std::string got = describe(*built.config)[c.field];
    EXPECT_EQ(got, c.want) << "input " << show(c.text) << " field " << c.field << ": got " << got
                           << ", want " << c.want;
  }
}

TEST(DaemonConfig, RefusesWithTheExactMessages) {
  const std::string p = logPrefix();
  auto logAndCopy = [&p](const std::string& message) {
    return p + message + "\n" + message + "\n";
  };
  struct Case {
    std::string text;
    std::optional<Error> want;  // nullopt: built
    std::string output;
  };
  const Case cases[] = {
      {"Bogus=1", Error::InvalidConfiguration,
       logAndCopy("config: [global] unrecognized key \"Bogus\" (typo?); refusing to start")},
      {"Socket=inet:25", Error::InvalidConfiguration,
       logAndCopy("config: [global] unrecognized key \"Socket\" (typo?); refusing to start")},
      {"[Global]\nmode=seal", Error::InvalidConfiguration,
       logAndCopy("config: [Global] unrecognized key \"mode\" (typo?); refusing to start")},
      {"[listener:smtp]\nSocket=25\nOn-DNSError=skip-seal", Error::InvalidConfiguration,
       logAndCopy("config: [listener:smtp] key \"On-DNSError\" is a global key with no effect "
                  "here; move it to [global]. Refusing to start")},
      {"[listener:smtp]\nSocket=25\nTypo=1", Error::InvalidConfiguration,
       logAndCopy("config: [listener:smtp] unrecognized key \"Typo\" (typo?); refusing to start")},
      // The first offending key is reported, and control bytes never reach the terminal.
      {"A=1\nB\x1b[2J=2", Error::InvalidConfiguration,
       logAndCopy("config: [global] unrecognized key \"A\" (typo?); refusing to start")},
      {"B\x1b[2J=2", Error::InvalidConfiguration,
       logAndCopy("config: [global] unrecognized key \"B_[2J\" (typo?); refusing to start")},
      // Value errors carry no message of their own.
      {"UMask=8", Error::InvalidMode, ""},
      {"UMask=", Error::InvalidMode, ""},
      {"Mode=Seal", Error::InvalidMode, ""},
      {"Mode=seal\n[listener:a]\nSocket=1\nMode=both ", std::nullopt, ""},
      {"[listener:a]\nSocket=1\nMode=VERIFY", Error::InvalidMode, ""},
      {"On-DNSError=Tempfail", Error::InvalidOnDnsError, ""},
      {"[listener:smtp]\nMode=seal", Error::MissingListenerSocket,
       p + "config: [listener:smtp] has no Socket setting -- a listener section must name an "
           "address\n"},
      {"[listener:a b]\nSocket=inet:99999@127.0.0.1", Error::InvalidListenerSocket,
       p + "config: [listener:a_b] Socket=inet:99999@127.0.0.1 is not a valid listen address "
           "(InvalidPort) -- expected inet:port@ip or unix:/path\n"},
      {"[listener:a]\nSocket=inet:25@local host", Error::InvalidListenerSocket,
       p + "config: [listener:a] Socket=inet:25@local_host is not a valid listen address "
           "(InvalidHost) -- expected inet:port@ip or unix:/path\n"},
      {"[listener:a]\nSocket=", Error::InvalidListenerSocket,
       p + "config: [listener:a] Socket=- is not a valid listen address (InvalidPort) -- "
           "expected inet:port@ip or unix:/path\n"},
      {"[listener:a]\nSocket=/" + std::string(103, 'p'), Error::InvalidListenerSocket,
       p + "config: [listener:a] Socket=/" + std::string(103, 'p') +
           " is not a valid listen address (InvalidPath) -- expected inet:port@ip or "
           "unix:/path\n"},
      // Mended: two listeners on one address would split connections at random.
      {"[listener:a]\nSocket=unix:/run/x.sock\n[listener:b]\nSocket=/run/x.sock",
       Error::InvalidListenerSocket,
       p + "config: [listener:b] Socket=/run/x.sock takes the same address as [listener:a] -- "
           "each listener needs an address of its own\n"},
      {"[listener:a]\nSocket=inet:25\n[listener:b]\nSocket=1\n[listener:c]\n"
       "Socket=inet:25@127.0.0.1",
       Error::InvalidListenerSocket,
       p + "config: [listener:c] Socket=inet:25@127.0.0.1 takes the same address as "
           "[listener:a] -- each listener needs an address of its own\n"},
      // Mended: a nameserver list a resolver cannot use is refused up front.
      {"DnsNameserver=localhost", Error::InvalidNameserver,
       p + "config: [global] DnsNameserver=localhost is not a valid nameserver address -- "
           "expected IPv4 or IPv6 address literals separated by commas\n"},
      {"DnsNameserver=127.0.0.1, 10.0.0.256", Error::InvalidNameserver,
       p + "config: [global] DnsNameserver=10.0.0.256 is not a valid nameserver address -- "
           "expected IPv4 or IPv6 address literals separated by commas\n"},
      {"DnsNameserver= , ", Error::InvalidNameserver,
       p + "config: [global] DnsNameserver names no nameserver -- expected IPv4 or IPv6 "
           "address literals separated by commas\n"},
      {"DnsNameserver=", Error::InvalidNameserver,
       p + "config: [global] DnsNameserver names no nameserver -- expected IPv4 or IPv6 "
           "address literals separated by commas\n"},
      // The steps run in order and stop at the first failure.
      {"UMask=8\nBogus=1", Error::InvalidConfiguration,
       logAndCopy("config: [global] unrecognized key \"Bogus\" (typo?); refusing to start")},
      {"On-DNSError=never\n[listener:a]\nMode=seal", Error::InvalidOnDnsError, ""},
      {"UMask=9\nOn-DNSError=never", Error::InvalidMode, ""},
      {"Mode=x\n[listener:a]\nMode=seal", Error::InvalidMode, ""},
      {"DnsNameserver=x\n[listener:a]\nMode=seal", Error::MissingListenerSocket,
       p + "config: [listener:a] has no Socket setting -- a listener section must name an "
           "address\n"},
  };
  for (const auto& c : cases) {
    Built built = buildFromText(c.text);
    std::optional<Error> got;
    if (!built.config) got = built.config.error();
    EXPECT_EQ(got, c.want) << "input " << show(c.text) << ": got " << outcome(got) << ", want "
                           << outcome(c.want);
    EXPECT_EQ(built.output, c.output) << "input " << show(c.text);
  }
}

// The key refusals reach standard error even when the log goes elsewhere.
TEST(DaemonConfig, CopiesKeyRefusalsToStandardErrorWhateverTheSink) {
  LogSettings saved = logSettings();
  logSettings().sink = LogSink::Syslog;  // this thread has no syslog socket: lines are dropped
  Built refused = buildFromText("[listener:a]\nSocket=1\nZmqTopic=x");
  Built listener = buildFromText("[listener:a]\nMode=seal");
  logSettings() = saved;
  EXPECT_EQ(refused.output,
            "config: [listener:a] key \"ZmqTopic\" is a global key with no effect here; move it "
            "to [global]. Refusing to start\n");
  EXPECT_EQ(listener.output, "");
}

// The configuration owns its texts: the document may go once it is built.
TEST(DaemonConfig, OutlivesItsDocument) {
  std::optional<DaemonConfig> config;
  {
    auto document = parseIniText(
        "AuthservID=mx\nUser=u:g\nLocalAuthMethods=spf\nDnsNameserver=::1\n"
        "[listener:a]\nSocket=unix:/run/a.sock\nSealDomain=d.example\n");
    ASSERT_TRUE(document);
    auto built = buildDaemonConfig(*document);
    ASSERT_TRUE(built);
    config = std::move(*built);
  }
  EXPECT_EQ(config->authservId, "mx");
  EXPECT_EQ(config->user, "u:g");
  EXPECT_EQ(joined(config->localAuthMethods), "spf");
  EXPECT_EQ(joined(config->dnsNameservers), "::1");
  EXPECT_EQ(listenersOf(*config), "unix /run/a.sock verify");
  EXPECT_EQ(config->sealDomain, "d.example");
}

TEST(DaemonConfig, ReportsOutOfMemoryAtEveryAllocation) {
  auto document = parseIniText(
      "AuthservID=mx.example.org\nUser=mail:mail\nUMask=027\nLocalAuthMethods=spf,dkim\n"
      "DnsNameserver=192.0.2.1,2001:db8::1\nSignedHeaders=from:to:subject:date:message-id\n"
      "ZmqEndpoint=tcp://127.0.0.1:5555\nPidFile=/var/run/tollbrook/other.pid\n"
      "[listener:a]\nSocket=unix:/var/run/tollbrook/a-long-socket-name.sock\nMode=seal\n"
      "SealKeyFile=/usr/local/etc/tollbrook/a-long-key-file-name.pem\n"
      "[listener:b]\nSocket=inet:8895@2001:db8::25\nMode=both\n");
  ASSERT_TRUE(document);
  auto reference = buildDaemonConfig(*document);
  ASSERT_TRUE(reference);
  int64_t runs = ::tollbrook::testing::forEachAllocationFailure([&] {
    auto config = buildDaemonConfig(*document);
    ::tollbrook::testing::disarmAllocationFailure();  // the comparison allocates
    if (config) {
      EXPECT_EQ(describe(*config), describe(*reference));
    } else {
      EXPECT_EQ(config.error(), Error::OutOfMemory);
    }
  });
  EXPECT_GT(runs, 10);
}

TEST(DaemonConfig, LogSettingsComeStraightFromGlobal) {
  struct Case {
    std::string text;
    LogSink sink;
    int facility;
    int level;
  };
  const Case cases[] = {
      {"", LogSink::Syslog, 2, 6},
      {"Syslog=no\nSyslogFacility=LOCAL3\nLogLevel=Debug", LogSink::Stderr, 19, 7},
      {"Syslog=maybe\nSyslogFacility=bogus\nLogLevel=warning", LogSink::Syslog, 2, 4},
      {"Syslog=0\nSyslogFacility=daemon\nLogLevel=error", LogSink::Stderr, 3, 3},
      {"[other]\nSyslog=no\nLogLevel=debug", LogSink::Syslog, 2, 6},
  };
  for (const auto& c : cases) {
    auto document = parseIniText(c.text);
    ASSERT_TRUE(document);
    LogSettings got = logSettingsFromIni(*document);
    EXPECT_EQ(got.sink, c.sink) << "input " << show(c.text);
    EXPECT_EQ(got.facility, c.facility) << "input " << show(c.text);
    EXPECT_EQ(got.level, c.level) << "input " << show(c.text);
  }
}

}  // namespace
}  // namespace tollbrook
