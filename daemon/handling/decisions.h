// What the daemon does with a message at its end, by listener mode: the
// verify procedure (record the chain's verdict), the decisions of the "seal"
// and "both" modes (whether to add an ARC set, with which cv, and what to
// answer), and the sealing step they share. Each returns the reply code for
// the MTA, continue ('c'), accept ('a') or tempfail ('t'), with any header
// changes already queued ahead of it. Worker thread; no state between calls.
#ifndef TOLLBROOK_DAEMON_HANDLING_DECISIONS_H_
#define TOLLBROOK_DAEMON_HANDLING_DECISIONS_H_

#include <span>

#include "arc/arc_set.h"
#include "arc/chain_result.h"
#include "daemon/handling/message_job.h"

namespace tollbrook {

// Validates and records the verdict; never seals and never answers accept.
// Also what "both" does without a seal identity, and what every mode does
// when the MTA did not grant SMFIF_ADDHDRS (then recording nothing).
char verifyMessage(MessageJob& job);

// Mode "seal": seals when the chain could be judged, silently lets the
// message through without a seal identity.
char decideSeal(MessageJob& job);

// Mode "both": records the verdict, keeping the field in the header list,
// then seals over it.
char decideBoth(MessageJob& job);

// Adds a set on top of `sets` (the message's chain, in instance order) with
// the given cv: accept once the three fields are queued; continue when the
// chain cannot take another set; tempfail when the set cannot be built or
// queued.
char sealMessage(MessageJob& job, std::span<const ArcSet> sets, Cv cv);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_DECISIONS_H_
