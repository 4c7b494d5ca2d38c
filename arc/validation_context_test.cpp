#include "arc/validation_context.h"

#include <gtest/gtest.h>

namespace tollbrook {
namespace {

ResolverSettings oneServer(std::string nameserver) {
  ResolverSettings settings;
  settings.nameservers.push_back(std::move(nameserver));
  return settings;
}

TEST(ValidationContext, RefusesWhatTheResolverRefuses) {
  auto context = ValidationContext::create(oneServer("dns.example"));
  ASSERT_FALSE(context.has_value());
  EXPECT_EQ(context.error(), kResolverInvalidAddress);
  EXPECT_FALSE(ValidationContext::create(ResolverSettings{}).has_value()) << "no nameserver";
}

// The options a context hands out ask its own resolver and fill its own key
// cache, with the daemon's default limits.
TEST(ValidationContext, OptionsReferToTheContextsOwnParts) {
  auto context = ValidationContext::create(oneServer("127.0.0.1"));
  ASSERT_TRUE(context.has_value()) << context.error();
  ValidationOptions options = context->options();
  EXPECT_EQ(&options.resolver, &context->resolver());
  EXPECT_EQ(&options.keyCache, &context->keys());
  EXPECT_EQ(options.maxEvaluationMs, kDefaultMaxEvaluationMs);
  EXPECT_EQ(options.minimumKeyBits, 1024u);
  EXPECT_EQ(options.maxKeyRecords, 3u);
}

}  // namespace
}  // namespace tollbrook
