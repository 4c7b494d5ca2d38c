// Builds the three header values of a new ARC set (ARC-Authentication-Results,
// ARC-Message-Signature, ARC-Seal) for a message, signed with this host's key.
// Shared by the daemon's sealing and the seal tool. Everything in the request
// and the message is borrowed for the call and only read; the returned values
// are owned by the caller. Runs on the calling thread; the key may be shared
// read-only between threads.
#ifndef TOLLBROOK_ARC_ARC_SET_BUILDER_H_
#define TOLLBROOK_ARC_ARC_SET_BUILDER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "arc/seal_step.h"
#include "core/message.h"
#include "crypto/private_key.h"

namespace tollbrook {

inline constexpr std::string_view kDefaultSignedHeaders = "from:to:subject:date:message-id";

// The message as the sealer reads it: its header fields in message order and
// the accumulated body.
struct MessageToSeal {
  std::span<const HeaderField> headers;
  std::string_view body;
  bool bodyIncomplete = false;  // the accumulated copy of the body was abandoned
};

struct SealRequest {
  std::string_view domain;                         // d=
  std::string_view selector;                       // s=
  std::string_view signedHeaders;                  // h= of the AMS, exactly as configured
  std::string_view authservId;                     // for the AAR
  std::span<const std::string_view> localMethods;  // for the AAR
  const PrivateKey* key = nullptr;
  std::span<const ArcSet> sets;  // the existing sets, in instance order
  uint64_t timestamp = 0;        // t= of both signatures, seconds since the epoch
  uint32_t instance = 1;         // the new instance, 1 to 50
  Cv cv = Cv::None;              // none, pass or fail
};

// Header values without names, folded with CR LF HT, no trailing line break.
struct ArcSetValues {
  std::string aar;
  std::string ams;
  std::string seal;
};

// Builds and signs the new set: AAR, then the AMS over the signed headers and
// the relaxed body hash, then the ARC-Seal over the earlier sets (none when cv
// is fail) and the new AAR and AMS. Fails with the name of the first step that
// failed; no partial set is returned.
[[nodiscard]] SealResult<ArcSetValues> buildArcSet(const MessageToSeal& message,
                                                   const SealRequest& request);

}  // namespace tollbrook

#endif  // TOLLBROOK_ARC_ARC_SET_BUILDER_H_
