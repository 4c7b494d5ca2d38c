// The reloadable snapshot owns what it copied and hands the resolver the
// configured settings.
#include "daemon/reload/runtime_config.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tollbrook {
namespace {

TEST(RuntimeConfig, OwnsItsCopyOfTheConfiguration) {
  std::unique_ptr<RuntimeConfig> snapshot;
  {
    DaemonConfig config;
    config.authservId = "mx.example.org";
    config.dnsNameservers = {"192.0.2.53", "2001:db8::53"};
    config.localAuthMethods = {"spf", "a-method-name-longer-than-any-small-string-buffer"};
    config.dnsTimeoutMs = 1500;
    config.dnsRetries = 1;
    config.dnsCacheSize = 77;
    config.dnsNegativeTtl = 9;
    config.sealDomain = "example.org";
    config.maxEvaluationMs = 1234;
    config.onDnsError = OnDnsErrorPolicy::SkipSeal;
    snapshot = RuntimeConfig::copyFrom(config).value();
  }  // the configuration is gone; the snapshot must not point into it
  EXPECT_EQ(snapshot->authservId, "mx.example.org");
  ASSERT_EQ(snapshot->localAuthMethods().size(), 2u);
  EXPECT_EQ(snapshot->localAuthMethods()[0], "spf");
  EXPECT_EQ(snapshot->localAuthMethods()[1], "a-method-name-longer-than-any-small-string-buffer");
  EXPECT_EQ(snapshot->sealDomain, "example.org");
  EXPECT_EQ(snapshot->onDnsError, OnDnsErrorPolicy::SkipSeal);
  EXPECT_EQ(snapshot->validationLimits().maxEvaluationMs, 1234);

  snapshot->dnsPort = 5353;
  ResolverSettings settings = snapshot->resolverSettings().value();
  EXPECT_EQ(settings.nameservers, (std::vector<std::string>{"192.0.2.53", "2001:db8::53"}));
  EXPECT_EQ(settings.port, 5353);
  EXPECT_EQ(settings.timeoutMs, 1500u);
  EXPECT_EQ(settings.retries, 1);
  EXPECT_EQ(settings.cacheCapacity, 77u);
  EXPECT_EQ(settings.negativeTtl, 9u);
}

}  // namespace
}  // namespace tollbrook
