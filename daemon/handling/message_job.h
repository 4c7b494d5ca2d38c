// One end of message as the handling procedures see it: the connection with
// the accumulated message, the settings of the current pass, and the two
// per-worker services reached through small ports (chain validation with the
// worker's resolver, and the event publisher), which tests replace. Lives on
// the worker's stack for the duration of one end-of-message call.
#ifndef TOLLBROOK_DAEMON_HANDLING_MESSAGE_JOB_H_
#define TOLLBROOK_DAEMON_HANDLING_MESSAGE_JOB_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "core/message.h"
#include "daemon/events/event_record.h"
#include "daemon/milter/milter_connection.h"
#include "daemon/reload/runtime_config.h"
#include "daemon/reload/seal_identity.h"

namespace tollbrook {

// Validates a chain of at least one set over the message.
struct ChainValidator {
  void* context = nullptr;
  ChainResult (*validate)(void* context, std::span<const ArcSet> sets,
                          std::span<const HeaderField> headers, std::string_view body) = nullptr;
};

// Publishes one event; best effort, never fails.
struct EventSink {
  void* context = nullptr;
  void (*publish)(void* context, EventAction action, EventResult result,
                  uint8_t instance) = nullptr;
};

struct MessageJob {
  MilterConnection& connection;
  const RuntimeConfig& config;
  const SealIdentity* identity;  // null: no complete seal identity
  ChainValidator validator;
  EventSink events;
  // False when the MTA did not grant SMFIF_ADDHDRS: verdicts are then
  // neither queued nor announced, and nothing is sealed.
  bool canRecord = true;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_MESSAGE_JOB_H_
