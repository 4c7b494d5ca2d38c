// The daemon's end-of-message handling for one worker: the per-worker state
// it keeps between messages (the validation context with its resolver and key
// cache, and the event publisher) and the handlers the worker installs in the
// milter codec. Owned by its Worker and used only on that worker's thread.
//
// The message path takes no lock: the published settings are loaded once per
// pass of the worker's loop (two atomic loads through the SettingsSource), and
// everything else here belongs to this worker alone.
#ifndef TOLLBROOK_DAEMON_HANDLING_END_OF_MESSAGE_H_
#define TOLLBROOK_DAEMON_HANDLING_END_OF_MESSAGE_H_

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "arc/validation_context.h"
#include "base/error.h"
#include "core/message.h"
#include "daemon/events/publisher.h"
#include "daemon/handling/message_settings.h"
#include "daemon/milter/codec.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

class WorkerHandling {
 public:
  // Error: OutOfMemory.
  [[nodiscard]] static Result<std::unique_ptr<WorkerHandling>> create(HandlingStartup startup,
                                                                      SettingsSource source);

  WorkerHandling(const WorkerHandling&) = delete;
  WorkerHandling& operator=(const WorkerHandling&) = delete;

  // The worker's loop, once per pass, after acknowledging the configuration
  // generation: loads the published settings for this pass.
  void beginPass();
  // The worker's reload hook: drops the validation context (resolver, TXT
  // cache and decoded keys), so no cache outlives the settings it was filled
  // under; the next validation builds a new one from the current snapshot.
  // The publisher stays: its endpoint and topic are start-up settings.
  void onReloadAcknowledged();

  // End of message: the reply code for the MTA, with the header changes
  // queued ahead of it, and the result line written.
  char endOfMessage(MilterConnection& connection);
  // A message the codec answers tempfail itself (header block cut): only its
  // result line.
  void headerLimitTempfail(MilterConnection& connection);

  // Fills the codec's body and end-of-message slots (and the header-limit
  // notice) with this handling as their context.
  void installHandlers(MilterHandlers& handlers);
  // The hook for the worker's reload link.
  static void reloadHook(void* context);

  // For tests: whether a validation context is held at the moment.
  bool holdsValidationContext() const { return validation_.has_value(); }

 private:
  WorkerHandling(HandlingStartup startup, SettingsSource source);

  ListenerMode modeOf(const MilterConnection& connection) const;
  char handle(MilterConnection& connection, ListenerMode mode);
  char decide(MilterConnection& connection, ListenerMode mode, const RuntimeConfig& config);
  ChainResult validate(std::span<const ArcSet> sets, std::span<const HeaderField> headers,
                       std::string_view body);
  [[nodiscard]] std::optional<ChainResult> ensureValidationContext(uint8_t instance);

  HandlingStartup startup_;
  SettingsSource source_;
  // The settings of the current pass; never kept beyond it.
  const RuntimeConfig* config_ = nullptr;
  const SealIdentity* identity_ = nullptr;
  std::optional<ValidationContext> validation_;
  EventPublisher publisher_;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_END_OF_MESSAGE_H_
