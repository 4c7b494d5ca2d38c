// A test MTA: the client side of milter protocol version 6 as Postfix speaks
// it (negotiation, a macro packet before each command, one header packet per
// field with LF folds, body chunks of at most 65,535 bytes, end of message),
// over a connected stream socket (unix, TCP or one end of a socketpair). It
// decodes the daemon's replies so tests can check them byte for byte, and
// applies header changes to a message the way an MTA does. Used by tests and
// benchmarks; one thread at a time. The client owns its socket.
#ifndef TOLLBROOK_TESTS_MILTER_CLIENT_H_
#define TOLLBROOK_TESTS_MILTER_CLIENT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/unique_fd.h"

namespace tollbrook::testing {

struct MilterReply {
  char code = 0;
  std::string data;

  // The encoded packet: length word, code, data.
  std::string encoded() const;
};

// The data of an insert-header ('i'), add-header ('h') or change-header ('m')
// reply, decoded. std::nullopt for another code or a malformed packet.
struct HeaderChange {
  char code = 0;
  uint32_t index = 0;  // 'i': position among all fields; 'm': ordinal among same-name fields
  std::string name;
  std::string value;  // as sent (LF line ends, the leading space if any)
};
std::optional<HeaderChange> decodeHeaderChange(const MilterReply& reply);

struct Negotiated {
  uint32_t version = 0;
  uint32_t actions = 0;
  uint32_t flags = 0;
};

using Macro = std::pair<std::string, std::string>;

// The SMTP session the MTA reports: macros and commands of the connect and
// helo stages.
struct MtaSession {
  std::string daemonName = "mx-in";
  std::string clientName = "mail.example.org";
  std::string clientAddr = "192.0.2.25";
  char family = '4';
  uint16_t port = 40123;
  std::string helo = "mail.example.org";
};

// One message: its envelope, its queue id and its RFC 5322 text (CR LF or LF
// line ends).
struct MtaMessage {
  std::string queueId = "4Xb9Zq1vKJz3";
  std::string sender = "alice@example.org";
  std::vector<std::string> recipients = {"bob@example.com"};
  std::string text;
};

// What the daemon answered at end of message: the modifications in order and
// the final code.
struct EndOfMessage {
  std::vector<MilterReply> modifications;
  char code = 0;
};

class MilterClient {
 public:
  static constexpr size_t kMaxBodyChunk = 65535;
  static constexpr int kDefaultTimeoutMs = 10000;

  explicit MilterClient(UniqueFd socket) : socket_(std::move(socket)) {}

  // A client on one end of a new socketpair; the other end is returned.
  [[nodiscard]] static Result<std::pair<MilterClient, UniqueFd>> overSocketPair();
  [[nodiscard]] static Result<MilterClient> connectUnix(std::string_view path);
  [[nodiscard]] static Result<MilterClient> connectTcp(uint16_t port);  // 127.0.0.1

  int fd() const { return socket_.get(); }
  void setTimeoutMs(int timeoutMs) { timeoutMs_ = timeoutMs; }
  // Whether the negotiation agreed on leading spaces in header values.
  bool leadingSpace() const { return leadingSpace_; }

  // The wire: one packet out; one reply in (ConnectionTimedOut after the
  // timeout, UnexpectedEof when the daemon closed, PacketTooLarge for a length
  // word outside 1..1 MiB + 1).
  [[nodiscard]] Status sendPacket(char command, std::string_view data);
  [[nodiscard]] Result<MilterReply> readReply();
  // True once the daemon has closed its end (reads end of file within the timeout).
  bool peerClosed();

  // The conversation. Each call sends what Postfix sends at that stage (the
  // macro packet first) and returns the reply code.
  [[nodiscard]] Result<Negotiated> negotiate(uint32_t actions = 0x1FF, uint32_t flags = 0x1FFFFF,
                                             uint32_t version = 6);
  [[nodiscard]] Status sendMacros(char stage, std::span<const Macro> macros);
  [[nodiscard]] Result<char> connect(const MtaSession& session);
  [[nodiscard]] Result<char> helo(const MtaSession& session);
  [[nodiscard]] Result<char> envfrom(const MtaMessage& message);
  [[nodiscard]] Result<char> envrcpt(std::string_view recipient);
  // One field as Postfix sends it: the value with each CR LF turned into LF,
  // with its leading space when the negotiation agreed on it, without it
  // otherwise.
  [[nodiscard]] Result<char> header(std::string_view name, std::string_view value,
                                    bool hasLeadingSpace);
  [[nodiscard]] Result<char> endOfHeaders();
  [[nodiscard]] Result<char> body(std::string_view bytes);  // in chunks of kMaxBodyChunk
  [[nodiscard]] Result<EndOfMessage> endOfMessage(std::string_view queueId);
  [[nodiscard]] Status abort();
  [[nodiscard]] Status quitNewConnection();  // 'K'
  [[nodiscard]] Status quit();               // 'Q'

  // connect + helo.
  [[nodiscard]] Result<char> openSession(const MtaSession& session);
  // envfrom, envrcpt, every header field, end of headers, the body and end of
  // message. A stage answered with anything but continue ends the message
  // there, and its code is the result's code.
  [[nodiscard]] Result<EndOfMessage> sendMessage(const MtaMessage& message);

 private:
  [[nodiscard]] Result<char> command(char code, std::string_view data);
  [[nodiscard]] Status fill();

  UniqueFd socket_;
  std::string in_;
  int timeoutMs_ = kDefaultTimeoutMs;
  bool leadingSpace_ = false;
};

// The message an MTA delivers after applying the header changes in order:
// 'i' inserts at its index among all fields (0: top), 'h' appends, 'm' replaces
// the index-th field of that name (ignoring case) or deletes it when the value
// is empty. Values are written back with CR LF line ends; `leadingSpace` says
// whether the values carry their own space after the colon.
std::string applyHeaderChanges(std::string_view messageText,
                               std::span<const MilterReply> modifications, bool leadingSpace);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_MILTER_CLIENT_H_
