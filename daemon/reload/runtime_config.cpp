#include "daemon/reload/runtime_config.h"

#include <new>
#include <utility>

namespace tollbrook {

Result<std::unique_ptr<RuntimeConfig>> RuntimeConfig::copyFrom(const DaemonConfig& config) {
  try {
    std::unique_ptr<RuntimeConfig> snapshot(new RuntimeConfig);
    snapshot->authservId = config.authservId;
    snapshot->dnsNameservers = config.dnsNameservers;
    snapshot->dnsTimeoutMs = config.dnsTimeoutMs;
    snapshot->dnsCacheSize = config.dnsCacheSize;
    snapshot->dnsNegativeTtl = config.dnsNegativeTtl;
    snapshot->dnsRetries = config.dnsRetries;
    snapshot->sealDomain = config.sealDomain;
    snapshot->sealSelector = config.sealSelector;
    snapshot->signedHeaders = config.signedHeaders;
    snapshot->maxEvaluationMs = config.maxEvaluationMs;
    snapshot->minimumKeyBits = config.minimumKeyBits;
    snapshot->maxKeyRecords = config.maxKeyRecords;
    snapshot->onDnsError = config.onDnsError;
    snapshot->stripAuthResults = config.stripAuthResults;
    if (!snapshot->setLocalAuthMethods(config.localAuthMethods)) return fail(Error::OutOfMemory);
    return snapshot;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

Status RuntimeConfig::setLocalAuthMethods(std::span<const std::string> methods) {
  try {
    std::vector<std::string> texts(methods.begin(), methods.end());
    std::vector<std::string_view> views;
    views.reserve(texts.size());
    // Everything that can fail is done; the old list is replaced below.
    methods_ = std::move(texts);
    for (const std::string& method : methods_) views.push_back(method);
    methodViews_ = std::move(views);
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  return {};
}

Result<ResolverSettings> RuntimeConfig::resolverSettings() const {
  try {
    ResolverSettings settings;
    settings.nameservers = dnsNameservers;
    settings.port = dnsPort;
    settings.timeoutMs = dnsTimeoutMs;
    settings.retries = dnsRetries;
    settings.cacheCapacity = dnsCacheSize;
    settings.negativeTtl = dnsNegativeTtl;
    settings.monitor = monitor_.get();
    return settings;
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
}

}  // namespace tollbrook
