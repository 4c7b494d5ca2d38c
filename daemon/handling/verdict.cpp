#include "daemon/handling/verdict.h"

#include <cstring>
#include <new>
#include <string>

#include "arc/verdict_field.h"
#include "base/room_for_one_more.h"
#include "daemon/milter/replies.h"

namespace tollbrook {
namespace {

// The verdict field's value and its insertion reply, both owned.
struct VerdictInsertion {
  std::string value;
  HeaderChangeReply reply;
};

Result<VerdictInsertion> prepareVerdict(const MilterConnection& connection,
                                        std::string_view authservId, EventResult result,
                                        std::optional<std::string_view> reason) {
  Result<std::string> value = formatVerdictField(authservId, eventResultWord(result), reason);
  if (!value) return fail(value.error());
  Result<HeaderChangeReply> reply = insertHeaderReply(connection, kAuthResultsFieldName, *value);
  if (!reply) return fail(reply.error());
  return VerdictInsertion{std::move(*value), std::move(*reply)};
}

Status queueInsertion(MilterConnection& connection, const VerdictInsertion& insertion) {
  const ReplyPacket packets[] = {insertion.reply.packet()};
  return queueReplies(connection, packets);
}

}  // namespace

Status queueVerdictField(MilterConnection& connection, std::string_view authservId,
                         EventResult result, std::optional<std::string_view> reason) {
  Result<VerdictInsertion> insertion = prepareVerdict(connection, authservId, result, reason);
  if (!insertion) return fail(insertion.error());
  return queueInsertion(connection, *insertion);
}

Status addVerdictField(MilterConnection& connection, std::string_view authservId,
                       EventResult result, std::optional<std::string_view> reason) {
  Result<VerdictInsertion> insertion = prepareVerdict(connection, authservId, result, reason);
  if (!insertion) return fail(insertion.error());
  MilterMessage& message = connection.message;
  // Room in the list and stable storage for the text come first, so that
  // nothing can fail once the MTA has been asked to insert the field.
  char* text = nullptr;
  try {
    reserveRoomForOneMore(message.headers);
    text = message.headerText.allocate(insertion->value.size());
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  std::memcpy(text, insertion->value.data(), insertion->value.size());
  if (Status queued = queueInsertion(connection, *insertion); !queued) return queued;
  const HeaderField field{kAuthResultsFieldName, std::string_view(text, insertion->value.size()),
                          true};
  message.headers.insert(message.headers.begin(), field);  // within the reserved capacity
  return {};
}

}  // namespace tollbrook
