// The resolver against scripted servers on loopback: rotation, fall-through,
// retries, TCP after truncation, caching under an injected clock, and the log
// lines of each path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/health_monitor.h"
#include "dns/resolver.h"
#include "tests/dns_log_capture.h"
#include "tests/dns_test_server.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

using testing::answerRcode;
using testing::answerTxt;
using testing::buildReply;
using testing::DnsTestServer;
using testing::LogCapture;
using testing::ReceivedQuery;
using testing::silent;
using testing::TestAnswer;
using testing::truncatedOverUdp;
using testing::txtRdata;
using testing::WireBuilder;

constexpr int64_t kStartMs = 1'700'000'000'000;
// Servers that answer get a generous timeout so a loaded machine cannot turn a
// late answer into a timeout; tests of silence use the short one.
constexpr uint32_t kAnswerTimeoutMs = 2000;
constexpr uint32_t kSilenceTimeoutMs = 100;

std::string texts(const Result<std::vector<DnsRecord>>& records) {
  if (!records) return "error." + std::string(errorName(records.error()));
  std::string out;
  for (const DnsRecord& r : *records) out += (out.empty() ? "" : "|") + r.data;
  return out;
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [first, second] = DnsTestServer::startPair();
    ASSERT_TRUE(first && second) << "cannot bind test servers on loopback";
    a_ = std::move(first);
    b_ = std::move(second);
  }

  ResolverSettings settings(std::vector<std::string> servers) {
    ResolverSettings s;
    s.nameservers = std::move(servers);
    s.port = a_->port();
    s.timeoutMs = kAnswerTimeoutMs;
    s.retries = 2;
    s.clock = [this] { return nowMs_; };
    s.durationClock = [this] { return elapsedMs_; };
    return s;
  }
  Resolver make(std::vector<std::string> servers = {"127.0.0.1"}) {
    auto resolver = Resolver::create(settings(std::move(servers)));
    EXPECT_TRUE(resolver) << resolver.error();
    return std::move(*resolver);
  }
  void advanceSeconds(int64_t seconds) { nowMs_ += seconds * 1000; }

  LogCapture log_;
  int64_t nowMs_ = kStartMs;
  int64_t elapsedMs_ = 0;             // the duration clock stands still unless a test moves it
  std::unique_ptr<DnsTestServer> a_;  // 127.0.0.1
  std::unique_ptr<DnsTestServer> b_;  // ::1, same port
};

TEST_F(ResolverTest, AnswersThenServesFromCache) {
  const std::string key = "v=DKIM1; k=rsa; p=" + std::string(400, 'Q');  // three strings
  a_->setHandler(answerTxt({key, "second"}));
  Resolver resolver = make();
  auto first = resolver.queryTxt("sel._domainkey.example");
  EXPECT_EQ(texts(first), key + "|second");
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)[0].name, "sel._domainkey.example");
  EXPECT_EQ((*first)[0].type, 16);
  EXPECT_EQ((*first)[0].ttl, 300u);
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache miss sel._domainkey.example");

  // Letters are folded for the cache key only; the query keeps the case given.
  EXPECT_EQ(texts(resolver.queryTxt("SEL._DomainKey.Example")), key + "|second");
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache hit SEL._DomainKey.Example");
  EXPECT_EQ(a_->udpQueries(), 1);
  EXPECT_EQ(a_->queries().at(0).name, "sel._domainkey.example");
}

TEST_F(ResolverTest, PositiveTtlIsClampedBetween30SecondsAndOneDay) {
  struct Case {
    std::vector<uint32_t> ttls;
    int64_t lifetime;  // seconds the answer stays cached
  };
  const Case cases[] = {{{5}, 30}, {{1'000'000}, 86'400}, {{1000}, 1000}, {{700, 90, 4000}, 90}};
  for (const Case& c : cases) {
    a_->setHandler([&c](const ReceivedQuery& q) -> std::optional<std::string> {
      std::vector<TestAnswer> answers;
      for (uint32_t ttl : c.ttls) answers.push_back({"", 16, ttl, txtRdata({"k"})});
      return buildReply(q, 0, answers);
    });
    Resolver resolver = make();
    const int before = a_->udpQueries();
    ASSERT_TRUE(resolver.queryTxt("ttl.example"));
    advanceSeconds(c.lifetime - 1);
    ASSERT_TRUE(resolver.queryTxt("ttl.example"));
    EXPECT_EQ(a_->udpQueries() - before, 1) << "ttl " << c.ttls[0] << ": expired too early";
    advanceSeconds(1);
    ASSERT_TRUE(resolver.queryTxt("ttl.example"));
    EXPECT_EQ(a_->udpQueries() - before, 2) << "ttl " << c.ttls[0] << ": kept too long";
  }
}

TEST_F(ResolverTest, EmptyAnswerIsReturnedButNotCached) {
  a_->setHandler(answerTxt({}));
  Resolver resolver = make();
  EXPECT_EQ(texts(resolver.queryTxt("none.example")), "");
  EXPECT_EQ(texts(resolver.queryTxt("none.example")), "");
  EXPECT_EQ(a_->udpQueries(), 2);
}

TEST_F(ResolverTest, NameErrorIsCachedForTheNegativeTtl) {
  a_->setHandler(answerRcode(3));
  auto s = settings({"127.0.0.1"});
  s.negativeTtl = 20;
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  log_.take();
  advanceSeconds(19);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache negative hit gone.example kind=name_error");
  advanceSeconds(1);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  EXPECT_EQ(a_->udpQueries(), 2);
}

TEST_F(ResolverTest, ZeroCapacityAndZeroNegativeTtlMeanTheDefaults) {
  a_->setHandler(answerRcode(3));
  auto s = settings({"127.0.0.1"});
  s.cacheCapacity = 0;
  s.negativeTtl = 0;
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  advanceSeconds(59);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  EXPECT_EQ(a_->udpQueries(), 1);
  advanceSeconds(1);
  EXPECT_EQ(resolver->queryTxt("gone.example").error(), Error::DnsNameError);
  EXPECT_EQ(a_->udpQueries(), 2);
}

TEST_F(ResolverTest, ServfailThenSilenceUsesTheServfailAndCachesIt) {
  a_->setHandler(answerRcode(2));
  b_->setHandler(silent());
  auto s = settings({"127.0.0.1", "::1"});
  s.timeoutMs = kSilenceTimeoutMs;
  auto created = Resolver::create(s);
  ASSERT_TRUE(created);
  Resolver& resolver = *created;
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsServerFailure);
  EXPECT_EQ(b_->udpQueries(), 3) << "the silent server gets retries + 1 attempts";
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss k.example\n"
            "debug dns: 127.0.0.1 returned rcode=2, trying next server\n"
            "warning dns: k.example refused, rcode=server_failure from all nameservers");

  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsServerFailure);
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache negative hit k.example kind=server_failure");
  EXPECT_EQ(a_->udpQueries() + b_->udpQueries(), 4) << "a cached failure sends nothing";
}

TEST_F(ResolverTest, RefusalFallsThroughToTheNextServer) {
  a_->setHandler(answerRcode(5));
  b_->setHandler(answerTxt({"from-b"}));
  Resolver resolver = make({"127.0.0.1", "::1"});
  EXPECT_EQ(texts(resolver.queryTxt("k.example")), "from-b");
  EXPECT_EQ(resolver.rotationStart(), 0u) << "after server 1 answered, server 0 is next";
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss k.example\n"
            "debug dns: 127.0.0.1 returned rcode=5, trying next server");
}

TEST_F(ResolverTest, LastRefusalIsKeptAndNamedInTheWarning) {
  a_->setHandler(answerRcode(2));
  b_->setHandler(answerRcode(5));
  Resolver resolver = make({"127.0.0.1", "::1"});
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsServerFailure);
  auto lines = log_.take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "warning dns: k.example refused, rcode=refused from all nameservers");
}

TEST_F(ResolverTest, OtherRcodesAreServerFailuresWithTheirNames) {
  struct Case {
    uint8_t rcode;
    std::string name;
  };
  const Case cases[] = {{4, "not_implemented"}, {1, "format_error"}, {9, "format_error"}};
  for (const Case& c : cases) {
    a_->setHandler(answerRcode(c.rcode));
    Resolver resolver = make();
    log_.take();
    EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsServerFailure) << int{c.rcode};
    auto lines = log_.take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              "warning dns: k.example refused, rcode=" + c.name + " from all nameservers");
  }
}

TEST_F(ResolverTest, AnsweringServerMovesTheRotation) {
  a_->setHandler(answerTxt({"a"}));
  b_->setHandler(answerTxt({"b"}));
  Resolver resolver = make({"127.0.0.1", "::1"});
  EXPECT_EQ(texts(resolver.queryTxt("one.example")), "a");
  EXPECT_EQ(texts(resolver.queryTxt("two.example")), "b");
  EXPECT_EQ(texts(resolver.queryTxt("three.example")), "a");
  EXPECT_EQ(a_->udpQueries(), 2);
  EXPECT_EQ(b_->udpQueries(), 1);
}

TEST_F(ResolverTest, SilentServerGetsThreeDatagramsThenATimeoutIsCached) {
  a_->setHandler(silent());
  auto s = settings({"127.0.0.1"});
  s.timeoutMs = kSilenceTimeoutMs;
  auto created = Resolver::create(s);
  ASSERT_TRUE(created);
  Resolver& resolver = *created;
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsTimeout);
  EXPECT_EQ(a_->udpQueries(), 3);
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss k.example\n"
            "warning dns: query k.example failed err=error.DnsTimeout elapsed=0ms");
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::DnsTimeout);
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache negative hit k.example kind=timeout");
  EXPECT_EQ(a_->udpQueries(), 3);
}

// The elapsed field measures the query, not the date: an administrator or NTP
// stepping the date back in the middle must not turn it into nonsense.
TEST_F(ResolverTest, ElapsedTimeIgnoresStepsOfTheDate) {
  a_->setHandler(silent());
  auto s = settings({"127.0.0.1"});
  s.timeoutMs = kSilenceTimeoutMs;
  s.retries = 0;
  s.clock = [this] { return nowMs_ -= 3'600'000; };  // an hour back at every reading
  s.durationClock = [this] { return elapsedMs_ += 40; };
  auto created = Resolver::create(s);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->queryTxt("k.example").error(), Error::DnsTimeout);
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss k.example\n"
            "warning dns: query k.example failed err=error.DnsTimeout elapsed=40ms");
}

TEST_F(ResolverTest, SilentFirstServerFailsOverToTheSecond) {
  a_->setHandler(silent());
  b_->setHandler(answerTxt({"b"}));
  auto s = settings({"127.0.0.1", "::1"});
  s.retries = 0;
  s.timeoutMs = kSilenceTimeoutMs;
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(texts(resolver->queryTxt("k.example")), "b");
  EXPECT_EQ(a_->udpQueries(), 1);
}

TEST_F(ResolverTest, RepliesThatAreNotAnswers) {
  struct Case {
    const char* what;
    std::function<std::string(const ReceivedQuery&)> reply;
    std::string want;
    int datagrams;  // sent to the server by the first lookup
  };
  const Case cases[] = {
      {"wrong identifier",
       [](const ReceivedQuery& q) {
         ReceivedQuery other = q;
         other.id = static_cast<uint16_t>(q.id + 1);
         return buildReply(other, 0, {{"", 16, 60, txtRdata({"x"})}});
       },
       "error.IdMismatch", 1},
      {"pointer loop in the answer",
       [](const ReceivedQuery& q) {
         WireBuilder b;
         b.header(q.id, 0x8180, 1, 1).question(q.name);
         uint16_t self = static_cast<uint16_t>(b.size());
         return b.pointer(self).fixed(16, 60, txtRdata({"x"})).bytes();
       },
       "error.TooManyPointers", 1},
      {"eleven-byte datagrams are ignored",
       [](const ReceivedQuery& q) { return buildReply(q, 0, {}).substr(0, 11); },
       "error.DnsTimeout", 3},
      {"ANCOUNT beyond the records",
       [](const ReceivedQuery& q) {
         return WireBuilder()
             .header(q.id, 0x8180, 1, 3)
             .question(q.name)
             .answer(q.name, 16, 60, txtRdata({"one"}))
             .answer(q.name, 16, 60, txtRdata({"two"}))
             .bytes();
       },
       "one|two", 1},
      {"CNAME then TXT",
       [](const ReceivedQuery& q) {
         return buildReply(q, 0,
                           {{"", 5, 60, testing::nameRdata("key.example")},
                            {"key.example", 16, 60, txtRdata({"v=DKIM1; ", "p=AB"})}});
       },
       "key.example|v=DKIM1; p=AB", 1},
  };
  for (const Case& c : cases) {
    a_->setHandler(
        [&c](const ReceivedQuery& q) -> std::optional<std::string> { return c.reply(q); });
    Resolver resolver = make();
    const int before = a_->udpQueries();
    EXPECT_EQ(texts(resolver.queryTxt("k.example")), c.want) << c.what;
    EXPECT_EQ(a_->udpQueries() - before, c.datagrams) << c.what;
  }
}

TEST_F(ResolverTest, DecodingFailuresAreNeitherCachedNorLogged) {
  a_->setHandler([](const ReceivedQuery& q) -> std::optional<std::string> {
    ReceivedQuery other = q;
    other.id = static_cast<uint16_t>(q.id ^ 0xffff);
    return buildReply(other, 3, {});
  });
  Resolver resolver = make();
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::IdMismatch);
  EXPECT_EQ(resolver.queryTxt("k.example").error(), Error::IdMismatch);
  EXPECT_EQ(a_->udpQueries(), 2);
  EXPECT_EQ(log_.takeJoined(), "debug dns: cache miss k.example\ndebug dns: cache miss k.example");
}

TEST_F(ResolverTest, EncodingErrorsSendNothing) {
  Resolver resolver = make();
  EXPECT_EQ(resolver.queryTxt("a..example").error(), Error::EmptyLabel);
  EXPECT_EQ(resolver.queryTxt(std::string(64, 'x') + ".example").error(), Error::LabelTooLong);
  EXPECT_EQ(a_->udpQueries(), 0);
}

TEST_F(ResolverTest, IdentifiersCountUpFromTheClock) {
  a_->setHandler(answerTxt({}));
  Resolver resolver = make();
  ASSERT_TRUE(resolver.queryTxt("one.example"));
  ASSERT_TRUE(resolver.queryTxt("two.example"));
  auto queries = a_->queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0].id, static_cast<uint16_t>(kStartMs));
  EXPECT_EQ(queries[1].id, static_cast<uint16_t>(kStartMs + 1));
}

// ---- TCP after truncation ----

TEST_F(ResolverTest, TruncatedReplyIsFetchedOverTcp) {
  const std::string whole = std::string(600, 'K');
  a_->setHandler(truncatedOverUdp({}, answerTxt({whole})));
  Resolver resolver = make();
  EXPECT_EQ(texts(resolver.queryTxt("big.example")), whole);
  EXPECT_EQ(a_->tcpQueries(), 1);
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss big.example\n"
            "debug dns: big.example truncated over udp, retrying over tcp");
}

TEST_F(ResolverTest, TcpRetryStartsAfterTheServerThatAnswered) {
  a_->setHandler(truncatedOverUdp({}, answerTxt({"tcp-from-a"})));
  b_->setHandler(truncatedOverUdp({}, answerTxt({"tcp-from-b"})));
  Resolver resolver = make({"127.0.0.1", "::1"});
  EXPECT_EQ(texts(resolver.queryTxt("big.example")), "tcp-from-b");
  EXPECT_EQ(a_->tcpQueries(), 0);
}

TEST_F(ResolverTest, TcpOutcomesThatKeepTheTruncatedReply) {
  const std::vector<TestAnswer> partial = {{"", 16, 60, txtRdata({"partial"})}};
  struct Case {
    const char* what;
    testing::DnsHandler overTcp;
    bool rawFraming;
    std::string lastLog;
  };
  const Case cases[] = {
      {"another identifier",
       [](const ReceivedQuery& q) -> std::optional<std::string> {
         ReceivedQuery other = q;
         other.id = static_cast<uint16_t>(q.id + 7);
         return buildReply(other, 0, {{"", 16, 60, txtRdata({"whole"})}});
       },
       false, "debug dns: big.example truncated over udp, retrying over tcp"},
      {"a reply that does not decode",
       [](const ReceivedQuery& q) -> std::optional<std::string> {
         return WireBuilder().header(q.id, 0x8180, 1, 0).name("big", false).bytes();
       },
       false, "debug dns: tcp reply for big.example unparseable err=error.PacketTooShort"},
      {"connection closed without a reply", testing::silent(), false,
       "debug dns: tcp retry for big.example failed err=error.DnsTimeout"},
      {"announced length under a header",
       [](const ReceivedQuery&) -> std::optional<std::string> {
         return std::string("\x00\x0b", 2) + std::string(11, 'x');
       },
       true, "debug dns: tcp retry for big.example failed err=error.DnsTimeout"},
  };
  for (const Case& c : cases) {
    a_->setHandler(truncatedOverUdp(partial, c.overTcp));
    a_->setRawTcpFraming(c.rawFraming);
    Resolver resolver = make();
    log_.take();
    EXPECT_EQ(texts(resolver.queryTxt("big.example")), "partial") << c.what;
    auto lines = log_.take();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), c.lastLog) << c.what;
  }
}

TEST_F(ResolverTest, TcpFailureMovesToTheNextServer) {
  // b answers over UDP with TC; a (next in rotation) has its TCP answer.
  a_->setHandler(truncatedOverUdp({}, answerTxt({"whole"})));
  b_->setHandler(truncatedOverUdp({}, silent()));
  auto s = settings({"::1", "127.0.0.1"});
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(texts(resolver->queryTxt("big.example")), "whole");
  EXPECT_EQ(b_->udpQueries(), 1);
  EXPECT_EQ(a_->tcpQueries(), 1);
}

// ---- the health monitor's view ----

class MonitoredResolverTest : public ResolverTest {
 protected:
  std::unique_ptr<HealthMonitor> monitor(std::vector<std::string> servers) {
    HealthMonitorSettings s;
    s.port = a_->port();
    s.probeTimeoutMs = 200;
    auto created = HealthMonitor::create(servers, s);
    EXPECT_TRUE(created);
    return std::move(*created);
  }
  // Two failed probes mark a silent server down.
  void markDown(HealthMonitor& m, DnsTestServer& server) {
    server.setHandler(silent());
    m.probeAll();
    m.probeAll();
  }
};

TEST_F(MonitoredResolverTest, ServerMarkedDownIsSkipped) {
  auto m = monitor({"127.0.0.1", "::1"});
  b_->setHandler(answerRcode(0));
  markDown(*m, *a_);
  ASSERT_FALSE(m->isUp(0));
  ASSERT_TRUE(m->isUp(1));
  a_->setHandler(answerTxt({"a"}));
  b_->setHandler(answerTxt({"b"}));
  const int probesToA = a_->udpQueries();

  auto s = settings({"127.0.0.1", "::1"});
  s.monitor = m.get();
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(texts(resolver->queryTxt("k.example")), "b");
  EXPECT_EQ(texts(resolver->queryTxt("j.example")), "b");
  EXPECT_EQ(a_->udpQueries(), probesToA);
}

TEST_F(MonitoredResolverTest, AllDownSendsNothing) {
  auto m = monitor({"127.0.0.1", "::1"});
  markDown(*m, *a_);
  markDown(*m, *b_);
  const int sent = a_->udpQueries() + b_->udpQueries();
  auto s = settings({"127.0.0.1", "::1"});
  s.monitor = m.get();
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  log_.take();
  EXPECT_EQ(resolver->queryTxt("k.example").error(), Error::DnsNoHealthyServers);
  EXPECT_EQ(log_.takeJoined(),
            "debug dns: cache miss k.example\n"
            "warning dns: k.example not queried, all nameservers marked down (monitor)");
  EXPECT_EQ(resolver->queryTxt("k.example").error(), Error::DnsNoHealthyServers)
      << "not cached: asked again";
  EXPECT_EQ(a_->udpQueries() + b_->udpQueries(), sent);
}

TEST_F(MonitoredResolverTest, ServersBeyondTheMonitorsListCountAsDown) {
  // The monitor watches only the first server (its list from start-up).
  auto m = monitor({"127.0.0.1"});
  markDown(*m, *a_);
  b_->setHandler(answerTxt({"b"}));
  auto s = settings({"127.0.0.1", "::1"});
  s.monitor = m.get();
  auto resolver = Resolver::create(s);
  ASSERT_TRUE(resolver);
  EXPECT_EQ(resolver->queryTxt("k.example").error(), Error::DnsNoHealthyServers);
  EXPECT_EQ(b_->udpQueries(), 0);
}

// ---- construction and allocation failure ----

TEST(ResolverCreate, RefusesWhatIsNotAnAddressList) {
  struct Case {
    std::vector<std::string> servers;
    std::string_view want;  // empty: accepted
  };
  const Case cases[] = {
      {{"127.0.0.1"}, ""},
      {{"::1", "192.0.2.1"}, ""},
      {{"dns.example"}, "DNS resolver: invalid nameserver address"},
      {{"127.0.0.1", "127.0.0.1:53"}, "DNS resolver: invalid nameserver address"},
      {{}, "DNS resolver: invalid nameserver address"},
  };
  for (const Case& c : cases) {
    ResolverSettings s;
    s.nameservers = c.servers;
    auto resolver = Resolver::create(s);
    EXPECT_EQ(resolver ? std::string_view() : resolver.error(), c.want)
        << "servers " << (c.servers.empty() ? "(none)" : c.servers.back());
  }
}

TEST(ResolverCreate, AllocationFailuresGiveTheirTexts) {
  ResolverSettings s;
  s.nameservers = {"127.0.0.1", "::1"};
  std::vector<std::string_view> seen;
  for (int64_t k = 0;; ++k) {
    bool failed;
    std::string_view text;
    {
      ::tollbrook::testing::ScopedAllocationFailure guard(k);
      auto resolver = Resolver::create(s);
      failed = ::tollbrook::testing::failedAllocations() > 0;
      if (!resolver) text = resolver.error();
    }
    if (!text.empty()) seen.push_back(text);
    if (!failed) break;
  }
  for (std::string_view text : seen) {
    EXPECT_TRUE(text == kResolverAllocAddresses || text == kResolverAllocList ||
                text == kResolverCopyNameserver)
        << text;
  }
  EXPECT_FALSE(seen.empty());
}

TEST_F(ResolverTest, AllocationFailureDuringALookupIsOutOfMemory) {
  a_->setHandler(truncatedOverUdp({}, answerTxt({std::string(300, 'k'), "two"})));
  for (int64_t k = 0;; ++k) {
    Resolver resolver = make();
    bool failed;
    std::string got;
    {
      ::tollbrook::testing::ScopedAllocationFailure guard(k);
      auto records = resolver.queryTxt("big.example");
      failed = ::tollbrook::testing::failedAllocations() > 0;
      got = records ? "ok" : "error";
      if (!records) {
        EXPECT_EQ(records.error(), Error::OutOfMemory) << "allocation " << k;
      } else {
        EXPECT_EQ(records->size(), 2u) << "allocation " << k;
      }
    }
    if (!failed) break;
    ASSERT_LT(k, 1000);
  }
}

}  // namespace
}  // namespace tollbrook
