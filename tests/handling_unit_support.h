// Helpers of the unit tests of daemon/handling: a connection holding a
// message as the codec leaves it at end of message, and the replies queued
// on it, decoded into short texts a table can compare. Test thread only.
#ifndef TOLLBROOK_TESTS_HANDLING_UNIT_SUPPORT_H_
#define TOLLBROOK_TESTS_HANDLING_UNIT_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/milter/milter_connection.h"
#include "daemon/reload/runtime_config.h"

namespace tollbrook::testing {

// A connection that negotiated `actions` and `flags` (by default what the
// daemon offers: SMFIF_ADDHDRS, SMFIF_CHGHDRS, leading spaces), with the
// fields of `headerBlock` ("Name: value" lines, CR LF or LF, folds allowed)
// and `body` accumulated, daemon_name "mx-in", peer 192.0.2.25.
std::unique_ptr<MilterConnection> connectionWith(std::string_view headerBlock,
                                                 std::string_view body = "body\r\n",
                                                 uint32_t actions = kSmfifAddHdrs | kSmfifChgHdrs,
                                                 uint32_t flags = kSmfipHdrLeadSpc);

// The queued replies in order, each as a short text: "i Name: value" for an
// insertion at index 0 (folds shown as one space; the value of an ARC field
// left out), "m 2 Name" for a deletion, "m 2 Name: value" for a change, and
// the code alone for the rest. Takes them off the queue.
std::vector<std::string> takeReplies(MilterConnection& connection);

// The daemon's default configuration as a snapshot, with this authserv-id.
std::unique_ptr<RuntimeConfig> defaultRuntimeConfig(std::string_view authservId);

std::string joinLines(const std::vector<std::string>& lines);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_HANDLING_UNIT_SUPPORT_H_
