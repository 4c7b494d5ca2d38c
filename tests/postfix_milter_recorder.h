// A milter for learning what a real MTA sends: it listens on a loopback TCP
// port, serves every connection with the daemon's own codec (one CodecPeer per
// connection), keeps every byte the MTA sent, and answers continue to every
// command and accept at end of message, after the header changes the test
// asked for. Tests take each ended connection as a RecordedConnection value
// they own. The accept loop and each connection run on threads of their own;
// the public calls are for the test thread and lock what they share.
#ifndef TOLLBROOK_TESTS_POSTFIX_MILTER_RECORDER_H_
#define TOLLBROOK_TESTS_POSTFIX_MILTER_RECORDER_H_

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/unique_fd.h"

namespace tollbrook::testing {

// One packet from the MTA, as framed on the wire.
struct RecordedPacket {
  char command = 0;
  std::string data;
};

// The option negotiation the MTA opened with.
struct OfferedOptions {
  uint32_t version = 0;
  uint32_t actions = 0;
  uint32_t protocolFlags = 0;
};

// One macro packet: the stage byte (the command it precedes) and its pairs.
struct MacroPacket {
  char stage = 0;
  std::vector<std::pair<std::string, std::string>> macros;

  std::vector<std::string> names() const;
  std::optional<std::string> value(std::string_view name) const;
};

// A header packet: the name and the value bytes exactly as sent (the leading
// space and Postfix's LF folds kept; the terminating NUL removed).
struct RawHeader {
  std::string name;
  std::string value;
};

// A header field as the codec stored it (bare LF turned into CR LF, leading
// space taken off and recorded).
struct StoredHeader {
  std::string name;
  std::string value;
  bool leadingSpace = false;
};

// What the codec held at the end of one message, just before it was reset.
struct StoredMessage {
  std::optional<std::string> mailAddr, rcptAddr, queueId, envelopeSender;
  std::vector<std::string> recipients;  // first argument of each RCPT, as sent
  std::vector<StoredHeader> headers;
};

struct RecordedConnection {
  std::vector<RecordedPacket> packets;  // every packet the MTA sent, in order
  std::vector<StoredMessage> messages;  // one per end of message

  // The connection-level state the codec kept when the connection ended.
  std::optional<std::string> clientAddr, clientName, daemonName, authType, helo;
  std::optional<std::string> connectAddress;
  char connectFamily = 'U';
  uint32_t negotiatedActions = 0, negotiatedProtocolFlags = 0;

  // The command letters in order, one per packet ("OCD...").
  std::string commands() const;
  std::optional<OfferedOptions> offered() const;
  std::vector<MacroPacket> macroPackets() const;
  // The macro packet of this stage (the last one when there are several).
  std::optional<MacroPacket> macrosAt(char stage) const;
  std::vector<RawHeader> headers() const;
  // The data of the first packet with this command.
  std::optional<std::string> dataOf(char command) const;
};

// A header change to send at end of message: 'i' inserts at index 0 (above
// every field the milter saw), 'm' changes the index-th field of that name
// (1-based) and deletes it when the value is empty.
struct HeaderEdit {
  char code = 'i';
  uint32_t index = 0;
  std::string name;
  std::string value;
};

class RecordingMilter {
 public:
  // Bound of waitForConnection: only turns a hang into a failure.
  static constexpr int kWaitTimeoutMs = 60'000;

  // Listens on 127.0.0.1:port, or on a free port when port is 0.
  explicit RecordingMilter(uint16_t port = 0);
  // Ends every connection still open and joins every thread.
  ~RecordingMilter();
  RecordingMilter(const RecordingMilter&) = delete;
  RecordingMilter& operator=(const RecordingMilter&) = delete;

  bool listening() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // The address as the MTA's configuration names it: "inet:127.0.0.1:PORT".
  std::string address() const;

  // From now on, messages with a recipient whose RCPT argument contains
  // `recipient` get these edits at end of message, in this order.
  void editHeadersFor(std::string recipient, std::vector<HeaderEdit> edits);

  // Waits (bounded) until a connection has ended that carried a message to a
  // recipient containing `recipient`, and hands it over.
  std::optional<RecordedConnection> waitForConnection(std::string_view recipient,
                                                      int timeoutMs = kWaitTimeoutMs);
  // Every connection accepted so far, ended or not.
  size_t connectionsAccepted() const;

  // Used by the end-of-message slot on a connection's thread.
  std::vector<HeaderEdit> editsFor(const std::vector<std::string>& recipients) const;

 private:
  struct Session;

  void acceptLoop();
  void serve(Session& session);

  UniqueFd listener_;
  UniqueFd stopRead_, stopWrite_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable ended_;
  std::list<std::unique_ptr<Session>> sessions_;  // every connection, for the destructor
  std::list<RecordedConnection> finished_;        // ended, not yet taken
  std::map<std::string, std::vector<HeaderEdit>> edits_;
  size_t accepted_ = 0;

  std::thread acceptThread_;
};

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_POSTFIX_MILTER_RECORDER_H_
