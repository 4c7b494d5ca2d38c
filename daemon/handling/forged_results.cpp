#include "daemon/handling/forged_results.h"

#include <cstddef>
#include <cstdint>

#include "arc/auth_results.h"
#include "base/ascii.h"
#include "core/log.h"
#include "crypto/arc_header_names.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

bool isAuthResults(const HeaderField& field) {
  return headerNameEquals(field.name, kAuthResultsFieldName);
}

bool carriesArcResult(std::string_view value) {
  ResinfoScanner scanner(value);
  while (std::optional<Resinfo> resinfo = scanner.next()) {
    if (asciiEqualsIgnoreCase(resinfo->method, "arc")) return true;
  }
  return false;
}

// The selection is counted, not collected: the walk below finds the fields
// again, so the common case (no forged field) allocates nothing.
struct Census {
  size_t authResults = 0;  // every Authentication-Results field
  size_t selected = 0;
};

Census takeCensus(const MilterMessage& message, std::string_view authservId, bool stripAll) {
  Census census;
  for (const HeaderField& field : message.headers) {
    if (!isAuthResults(field)) continue;
    ++census.authResults;
    if (isForgedResults(field.value, authservId, stripAll)) ++census.selected;
  }
  return census;
}

Status deleteAtMta(MilterConnection& connection, size_t ordinal) {
  Result<HeaderChangeReply> deletion =
      changeHeaderReply(static_cast<uint32_t>(ordinal), kAuthResultsFieldName, "");
  if (!deletion) return fail(deletion.error());
  const ReplyPacket packets[] = {deletion->packet()};
  return queueReplies(connection, packets);
}

void logRemoved(size_t removed, std::string_view authservId) {
  if (removed == 0) return;
  logMessage(Severity::Info, "removed ", removed,
             " forged Authentication-Results header(s) claiming authserv-id ", authservId);
}

}  // namespace

bool isForgedResults(std::string_view value, std::string_view authservId, bool stripAll) {
  if (!claimsAuthservId(value, authservId)) return false;
  return stripAll || carriesArcResult(value);
}

Status removeForgedResults(MilterConnection& connection, std::string_view authservId,
                           bool stripAll) {
  MilterMessage& message = connection.message;
  const Census census = takeCensus(message, authservId, stripAll);
  if (census.selected == 0) return {};
  if ((connection.negotiatedActions & kSmfifChgHdrs) == 0) {
    logMessage(Severity::Err, "cannot remove ", census.selected,
               " forged Authentication-Results header(s) claiming authserv-id ", authservId,
               ": MTA did not grant SMFIF_CHGHDRS");
    return {};
  }
  // Last to first: removing a field changes neither the ordinals of the
  // fields above it at the MTA nor their positions in the list.
  size_t ordinal = census.authResults;
  size_t removed = 0;
  for (size_t i = message.headers.size(); i-- > 0;) {
    const HeaderField& field = message.headers[i];
    if (!isAuthResults(field)) continue;
    const size_t fieldOrdinal = ordinal--;
    if (!isForgedResults(field.value, authservId, stripAll)) continue;
    if (Status queued = deleteAtMta(connection, fieldOrdinal); !queued) {
      logRemoved(removed, authservId);
      return queued;
    }
    message.headers.erase(message.headers.begin() + static_cast<std::ptrdiff_t>(i));
    ++removed;
  }
  logRemoved(removed, authservId);
  return {};
}

}  // namespace tollbrook
