// Test support for the daemon's message handling: workers with the real
// end-of-message handling on threads of their own, one loopback listener per
// mode, settings the test owns, and conversations of the test MTA whose
// replies are applied to the message as an MTA applies them. Test thread
// only; the workers read the settings, which must outlive them.
#ifndef TOLLBROOK_TESTS_HANDLING_DAEMON_H_
#define TOLLBROOK_TESTS_HANDLING_DAEMON_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daemon/handling/message_settings.h"
#include "daemon/reload/runtime_config.h"
#include "daemon/reload/seal_identity.h"
#include "tests/milter_client.h"
#include "tests/worker_harness.h"

namespace tollbrook::testing {

// What a SettingsSource hands the workers; the test may change it only while
// no message is under way.
struct TestSettings {
  std::unique_ptr<RuntimeConfig> config;
  const SealIdentity* identity = nullptr;

  SettingsSource source();
};

// A snapshot of the daemon's defaults asking the nameserver 127.0.0.1:port.
std::unique_ptr<RuntimeConfig> testRuntimeConfig(uint16_t dnsPort);

// The listeners of a HandlingDaemon, in this order.
inline constexpr ListenerMode kTestModes[] = {ListenerMode::Verify, ListenerMode::Seal,
                                              ListenerMode::Both};

struct Delivery {
  testing::EndOfMessage reply;
  std::string delivered;  // the message with the header changes applied
};

class HandlingDaemon {
 public:
  // One worker with a listener per mode of kTestModes, plus `extraListeners`
  // listeners beyond the configured modes.
  HandlingDaemon(TestSettings& settings, HandlingStartup startup,
                 MessageLimits limits = kDefaultMessageLimits, size_t extraListeners = 0);

  uint16_t port(size_t listener) const { return ports_.at(listener); }

  // One conversation on `listener`: negotiation offering `actions`, the
  // session, one message, quit. Failures fail the calling test.
  Delivery send(size_t listener, const std::string& text, uint32_t actions = 0x1FF);

  // Moves the configuration generation on and wakes the worker.
  void reload();

  LogLines& log() { return log_; }

 private:
  LogLines log_;
  std::atomic<uint64_t> generation_{0};
  std::atomic<uint64_t> ack_{0};
  WorkerPool pool_;
  std::vector<uint16_t> ports_;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_HANDLING_DAEMON_H_
