// The sealing step: a new ARC set on top of the chain, signed with this
// host's identity and queued for the MTA.

#include "arc/arc_set_builder.h"
#include "arc/seal_decision.h"
#include "core/log.h"
#include "crypto/arc_header_names.h"
#include "daemon/handling/decisions.h"
#include "daemon/handling/job_steps.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

SealRequest sealRequest(const MessageJob& job, std::span<const ArcSet> sets, uint8_t instance,
                        Cv cv) {
  SealRequest request;
  request.domain = job.identity->domain;
  request.selector = job.identity->selector;
  request.key = &job.identity->key;
  request.signedHeaders = job.config.signedHeaders;
  request.authservId = job.config.authservId;
  request.localMethods = job.config.localAuthMethods();
  request.sets = sets;
  request.timestamp = sealTimestampNow();
  request.instance = instance;
  request.cv = cv;
  return request;
}

// The three insertions in the order AAR, AMS, ARC-Seal, queued all or none.
// Each goes to the top, so the message then begins with the ARC-Seal. The
// reply builder turns CR LF into LF and adds the negotiated leading space.
Status queueArcSet(MilterConnection& connection, const ArcSetValues& set) {
  Result<HeaderChangeReply> aar = insertHeaderReply(connection, kAarFieldName, set.aar);
  if (!aar) return fail(aar.error());
  Result<HeaderChangeReply> ams = insertHeaderReply(connection, kAmsFieldName, set.ams);
  if (!ams) return fail(ams.error());
  Result<HeaderChangeReply> seal = insertHeaderReply(connection, kSealFieldName, set.seal);
  if (!seal) return fail(seal.error());
  const ReplyPacket packets[] = {aar->packet(), ams->packet(), seal->packet()};
  return queueReplies(connection, packets);
}

void logNotSealing(std::string_view step) {
  logMessage(Severity::Err, "not sealing: internal error ",
             step.empty() ? seal_step::kFallback : step);
}

}  // namespace

char sealMessage(MessageJob& job, std::span<const ArcSet> sets, Cv cv) {
  if (!job.canRecord || job.identity == nullptr) return kReplyContinue;
  std::expected<uint8_t, ContinuationRefusal> instance = nextSealInstance(sets);
  if (!instance) {
    if (instance.error() == ContinuationRefusal::FailedChain) {
      logMessage(Severity::Info,
                 "not sealing: the chain is already marked cv=fail and cannot be continued");
    }
    return kReplyContinue;  // the instance ceiling passes silently
  }
  const MilterMessage& message = job.connection.message;
  SealResult<ArcSetValues> set =
      buildArcSet(MessageToSeal{message.headers, message.body, message.bodyIncomplete},
                  sealRequest(job, sets, *instance, cv));
  if (!set) {
    logNotSealing(set.error().step);
    return kReplyTempfail;
  }
  if (!queueArcSet(job.connection, *set)) {
    logNotSealing("queueing the ARC set");
    return kReplyTempfail;
  }
  announce(job, EventAction::Seal, verdictOf(cv), *instance);
  return kReplyAccept;
}

}  // namespace tollbrook
