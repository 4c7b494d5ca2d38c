#include "tests/handling_daemon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

namespace tollbrook::testing {

SettingsSource TestSettings::source() {
  SettingsSource source;
  source.context = this;
  source.config = [](void* context) -> const RuntimeConfig* {
    return static_cast<TestSettings*>(context)->config.get();
  };
  source.identity = [](void* context) { return static_cast<TestSettings*>(context)->identity; };
  return source;
}

std::unique_ptr<RuntimeConfig> testRuntimeConfig(uint16_t dnsPort) {
  DaemonConfig config;
  config.authservId = "mx.test";
  config.dnsNameservers = {"127.0.0.1"};
  config.dnsTimeoutMs = 500;
  config.dnsRetries = 0;
  std::unique_ptr<RuntimeConfig> snapshot = RuntimeConfig::copyFrom(config).value();
  snapshot->dnsPort = dnsPort;
  return snapshot;
}

HandlingDaemon::HandlingDaemon(TestSettings& settings, HandlingStartup startup,
                               MessageLimits limits, size_t extraListeners) {
  WorkerSetup setup;
  setup.limits = limits;
  setup.reload.configGeneration = &generation_;
  setup.reload.workerAcks = std::span(&ack_, 1);
  setup.handling = WorkerHandling::create(std::move(startup), settings.source()).value();
  std::unique_ptr<Worker> worker = pool_.build(std::move(setup));
  for (size_t i = 0; i < std::size(kTestModes) + extraListeners; ++i) {
    uint16_t port = 0;
    if (!worker->addListener(listenLoopback(port), "")) throw std::runtime_error("addListener");
    ports_.push_back(port);
  }
  pool_.start(std::move(worker));
}

Delivery HandlingDaemon::send(size_t listener, const std::string& text, uint32_t actions) {
  Delivery delivery;
  Result<MilterClient> client = MilterClient::connectTcp(port(listener));
  EXPECT_TRUE(client.has_value());
  if (!client) return delivery;
  EXPECT_TRUE(client->negotiate(actions).has_value());
  EXPECT_EQ(client->openSession(MtaSession{}).value_or('?'), 'c');
  MtaMessage message;
  message.text = text;
  Result<EndOfMessage> ended = client->sendMessage(message);
  EXPECT_TRUE(ended.has_value()) << "no reply at end of message";
  if (!ended) return delivery;
  delivery.reply = *ended;
  delivery.delivered = applyHeaderChanges(text, ended->modifications, client->leadingSpace());
  EXPECT_TRUE(client->quit().has_value());
  return delivery;
}

void HandlingDaemon::reload() {
  generation_.fetch_add(1);
  const char byte = 1;
  EXPECT_EQ(write(pool_.notifyWriteEnd(0), &byte, 1), 1);
}

}  // namespace tollbrook::testing
