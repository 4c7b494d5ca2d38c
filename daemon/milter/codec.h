// The milter protocol (version 6) on one connection: option negotiation, the
// commands of the MTA and the state they build, and the replies they get. The
// worker feeds the bytes it reads and drives the connection like this:
//
//   appendInput(c, bytes)                      (failure: close)
//   while nextPacket(c) yields a packet p:     (PacketTooLarge: close)
//     dispatchPacket(handlers, c, p)
//     if c.closeRequested: stop
//     consumePacket(c)
//   flushReplies(c)                            (once for all replies of the read)
//   if c.closeRequested or Failed: close       HoldStarted: register write readiness
//
// Dispatch only queues replies; one flush per read sends every reply of the
// batch in one write where the socket takes it. The codec never closes or frees
// a connection: it sets closeRequested and the worker closes after the flush.
// Handlers run synchronously on the worker thread that owns the connection.
#ifndef TOLLBROOK_DAEMON_MILTER_CODEC_H_
#define TOLLBROOK_DAEMON_MILTER_CODEC_H_

#include <cstdint>
#include <string_view>

#include "daemon/milter/milter_connection.h"
#include "daemon/milter/packet.h"
#include "daemon/milter/replies.h"

namespace tollbrook {

// What the connect command told: the host name, the family ('4', '6', 'L' or
// 'U'), the port and the address text. Views into the packet.
struct ConnectInfo {
  std::string_view hostName;
  char family = 'U';
  uint16_t port = 0;
  std::string_view address;
};

// One table per worker, shared by its connections. Each slot is optional; an
// empty slot answers continue ('c'), or accept ('a') for eom. Plain function
// pointers with the worker's context pointer: a call allocates nothing and
// the table can be shared without copies. Every slot but abort returns the
// reply code to send; handlers may queue header modifications (replies.h)
// before returning. Views passed in point into the packet and live for the
// call only.
struct MilterHandlers {
  void* context = nullptr;  // the worker's state, handed to every slot

  char (*connect)(void* context, MilterConnection&, const ConnectInfo&) = nullptr;
  char (*helo)(void* context, MilterConnection&, std::string_view name) = nullptr;
  // The NUL-separated arguments as received; the first one is already stored.
  char (*envfrom)(void* context, MilterConnection&, std::string_view arguments) = nullptr;
  char (*envrcpt)(void* context, MilterConnection&, std::string_view arguments) = nullptr;
  // The field as the MTA sent it, after the leading-space rule; called whether
  // or not the field could be stored.
  char (*header)(void* context, MilterConnection&, std::string_view name,
                 std::string_view value) = nullptr;
  char (*eoh)(void* context, MilterConnection&) = nullptr;
  char (*body)(void* context, MilterConnection&, std::string_view chunk) = nullptr;
  char (*eom)(void* context, MilterConnection&) = nullptr;
  // End of a message whose header block was not accumulated in full: the codec
  // logs its tempfail line and answers tempfail ('t') itself, without the eom
  // slot; this slot runs just before that reply is queued, so the daemon can
  // still write the message's result line. It cannot change the reply.
  void (*headerLimitTempfail)(void* context, MilterConnection&) = nullptr;
  void (*abort)(void* context, MilterConnection&) = nullptr;

  uint32_t offeredActions = kSmfifAddHdrs | kSmfifChgHdrs;
  uint32_t offeredProtocolFlags = kSmfipHdrLeadSpc;
};

// The version the daemon answers in its negotiation reply.
inline constexpr uint32_t kMilterVersion = 6;

// Performs one command on the connection: updates its state, calls the slot,
// and queues the reply (nothing is written). Sets closeRequested on 'Q', on a
// negotiation packet shorter than 12 bytes, and when a reply code cannot be
// queued (with its log line). Does nothing once closeRequested is set.
void dispatchPacket(const MilterHandlers& handlers, MilterConnection& connection,
                    const Packet& packet);

}  // namespace tollbrook

#endif  // TOLLBROOK_DAEMON_MILTER_CODEC_H_
