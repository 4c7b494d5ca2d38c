// A private Postfix (Debian's package) for end-to-end tests: its own
// configuration, queue, data and log in a temp directory, smtpd on a free
// loopback port, and every recipient delivered by a pipe transport into one
// file per delivery. The master runs as a child of the test in its own process
// group; the destructor stops it, kills what is left of the group and removes
// the directory, and a guard process does the same if the test dies without
// running it. The system
// instance under /etc/postfix is never touched. Needs root (Postfix's master
// and the set-gid queue tools check it). Test-thread only.
#ifndef TOLLBROOK_TESTS_POSTFIX_INSTANCE_H_
#define TOLLBROOK_TESTS_POSTFIX_INSTANCE_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "tests/postfix_smtp_client.h"
#include "tests/program_run.h"

namespace tollbrook::testing {

// Why these tests cannot run here (a Postfix program is missing, or the test
// is not root); empty when they can.
std::string postfixUnavailableReason();

// A main.cf parameter: name and value as postconf writes them.
using PostfixParameter = std::pair<std::string, std::string>;

struct PostfixOptions {
  // Milter addresses as Postfix writes them ("inet:127.0.0.1:PORT",
  // "unix:/path"); empty for none. The milter settings that go with them are
  // always written: protocol 6, default action tempfail, short timeouts.
  std::string smtpdMilters;
  std::string nonSmtpdMilters;
  // More main.cf parameters, written last (they override the defaults above).
  std::vector<PostfixParameter> extraParameters;
};

// One message as the capture transport received it for one recipient.
struct PostfixDelivery {
  std::string queueId;
  // The envelope recipient without angle brackets, as the file name holds it:
  // bytes outside A-Z a-z 0-9 @ . _ + = - are written as '_'.
  std::string recipient;
  std::string sender;   // the envelope sender ("" for the null sender)
  std::string message;  // as the pipe handed it over: LF line ends
};

// One message of `postqueue -j`.
struct PostfixQueueEntry {
  std::string queueName;  // "maildrop", "incoming", "active", "deferred", "hold"...
  std::string queueId;
  std::string sender;
  std::vector<std::string> recipients;
  std::vector<std::string> delayReasons;  // one per recipient, "" when none
};

class PostfixInstance {
 public:
  // Bounds of the waits below: long enough for a loaded machine; they only
  // turn a hang into a failure.
  static constexpr int kStartTimeoutMs = 60'000;
  static constexpr int kDeliveryTimeoutMs = 60'000;

  // Writes the configuration and starts the master; check running() (error()
  // says what failed, with the end of Postfix's log).
  explicit PostfixInstance(const PostfixOptions& options);
  ~PostfixInstance();
  PostfixInstance(const PostfixInstance&) = delete;
  PostfixInstance& operator=(const PostfixInstance&) = delete;

  bool running() const { return masterPid_ > 0 && error_.empty(); }
  const std::string& error() const { return error_; }

  uint16_t smtpPort() const { return smtpPort_; }
  const std::string& directory() const { return dir_.path(); }
  std::string configDirectory() const { return dir_.file("etc"); }
  // Postfix's own log (maillog_file), read now.
  std::string log() const;

  // Runs `postconf -c DIR -e` with the parameters and restarts the master on
  // the same directories and port, so that every process has the new values.
  // The queue stays; a delivery under way when it is called is cut short and
  // retried. False (and not running()) when the restart failed.
  bool reconfigure(const std::vector<PostfixParameter>& parameters);

  // One SMTP transaction with the instance's smtpd (see sendSmtpMessage).
  SmtpTransaction sendSmtp(std::string_view from, const std::vector<std::string>& recipients,
                           std::string_view message, std::string_view helo = "client.test") const;
  // Local submission: `sendmail -C DIR -f from -- recipients...` with the
  // message on standard input.
  ProgramRun submit(std::string_view from, const std::vector<std::string>& recipients,
                    std::string_view message) const;

  // Waits (bounded) for a delivery to `recipient`, with this queue id when one
  // is given, that no earlier call returned.
  std::optional<PostfixDelivery> waitForDelivery(std::string_view recipient,
                                                 std::string_view queueId = {},
                                                 int timeoutMs = kDeliveryTimeoutMs);
  // Every delivery made so far, returned before or not, in file name order.
  std::vector<PostfixDelivery> deliveries() const;

  // The queue as `postqueue -c DIR -j` shows it, maildrop included.
  std::vector<PostfixQueueEntry> queue() const;
  // Asks for every queued message to be tried now: the queue manager through
  // `postqueue -f`, the pickup service (maildrop) through postkick.
  bool flush() const;

  // Waits (bounded) until Postfix's log holds a line containing `text`.
  bool waitForLog(std::string_view text, int timeoutMs = kDeliveryTimeoutMs) const;

 private:
  bool writeConfiguration(const PostfixOptions& options);
  bool start();
  bool waitUntilAccepting();
  void stop();
  void startGuard();
  void stopGuard();
  void fail(std::string what);
  std::string program(std::string_view name) const;  // in Postfix's command directory

  ScratchDir dir_;
  uint16_t smtpPort_ = 0;
  pid_t masterPid_ = 0;
  pid_t guardPid_ = 0;
  UniqueFd guardWrite_;  // the end of the guard's pipe only this process holds
  std::string error_;
  std::set<std::string> returned_;  // delivery files already handed out
};

// A loopback TCP port that was free at the time of the call; 0 if none.
uint16_t pickFreeTcpPort();

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_POSTFIX_INSTANCE_H_
