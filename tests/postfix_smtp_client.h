// A minimal SMTP client for the tests that talk to a private Postfix: one
// connection to a loopback port, one command at a time, every reply kept with
// its code so that 4xx and 5xx answers can be asserted. Every read is bounded
// so a silent server fails the test instead of hanging it. Test-thread only;
// the client owns its socket and closes it on destruction.
#ifndef TOLLBROOK_TESTS_POSTFIX_SMTP_CLIENT_H_
#define TOLLBROOK_TESTS_POSTFIX_SMTP_CLIENT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace tollbrook::testing {

// One reply: the code of its last line (0 when none came: closed connection,
// bad syntax or the time bound passed) and every line without its CR LF.
struct SmtpReply {
  int code = 0;
  std::vector<std::string> lines;

  std::string text() const;  // the lines joined with " | ", for messages
};

class SmtpClient {
 public:
  // Bound on the wait for one reply. Generous: it only turns a hang into a
  // failure and never decides a result on a machine that is merely slow.
  static constexpr int kReplyTimeoutMs = 60'000;

  // Connects to 127.0.0.1:port and reads the greeting (greeting().code 0 when
  // either fails).
  explicit SmtpClient(uint16_t port);

  const SmtpReply& greeting() const { return greeting_; }
  bool connected() const { return socket_.valid(); }

  // Sends `line` and CR LF, and reads the reply.
  SmtpReply command(std::string_view line);
  // After a 354: sends the message (LF or CR LF line ends, both sent as CR LF;
  // lines starting with '.' are doubled) and the final ".", and reads the reply.
  SmtpReply data(std::string_view message);

 private:
  SmtpReply readReply();

  UniqueFd socket_;
  std::string buffer_;  // bytes read past the last reply
  SmtpReply greeting_;
};

// What one transaction got: each step's reply (code 0 for a step not taken
// because an earlier one failed) and the queue id Postfix named in its answer
// to the end of data.
struct SmtpTransaction {
  SmtpReply greeting, ehlo, mail;
  std::vector<SmtpReply> rcpt;  // one per recipient, in order
  SmtpReply data, dataEnd, quit;
  std::string queueId;

  std::string describe() const;  // every step, for failure messages
};

// Greeting, EHLO helo, MAIL FROM:<from>, RCPT TO:<r> for each recipient, DATA,
// the message, QUIT. Stops at the first step that fails (no recipient
// accepted counts as a failure of the RCPT step) and then sends QUIT.
SmtpTransaction sendSmtpMessage(uint16_t port, std::string_view helo, std::string_view from,
                                const std::vector<std::string>& recipients,
                                std::string_view message);

// The queue id out of Postfix's "250 2.0.0 Ok: queued as ID"; empty if none.
std::string queueIdOfReply(const SmtpReply& reply);

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_POSTFIX_SMTP_CLIENT_H_
