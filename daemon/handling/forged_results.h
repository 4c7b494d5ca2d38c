// Removal of Authentication-Results fields that impersonate this host: a
// field naming our authserv-id that we did not write could make the next hop
// (and our own ARC-Authentication-Results) repeat a result nobody checked.
// Works on the connection's header list and reply queue; worker thread.
#ifndef TOLLBROOK_DAEMON_HANDLING_FORGED_RESULTS_H_
#define TOLLBROOK_DAEMON_HANDLING_FORGED_RESULTS_H_

#include <string_view>

#include "base/error.h"
#include "daemon/milter/milter_connection.h"

namespace tollbrook {

// Whether an Authentication-Results value is one to remove: it claims
// `authservId` and, unless `stripAll`, carries a result of method arc (any
// case). Without stripAll only fields forging our ARC verdict go.
bool isForgedResults(std::string_view value, std::string_view authservId, bool stripAll);

// Deletes the selected fields at the MTA, last to first, each by its 1-based
// ordinal among the Authentication-Results fields, and takes each one whose
// deletion was queued out of the header list, so that validation and the
// ARC-Authentication-Results never see it. Logs how many went (info), or,
// when the MTA did not grant SMFIF_CHGHDRS, that none could (error; the
// fields stay). Error: the kind that kept a deletion from being queued
// (OutOfMemory, OutputQueueFull, ...); the fields from that one up stay in
// place, and the caller must not deliver the message as it stands.
[[nodiscard]] Status removeForgedResults(MilterConnection& connection, std::string_view authservId,
                                         bool stripAll);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_HANDLING_FORGED_RESULTS_H_
