#include "tests/postfix_instance.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/unique_fd.h"

extern char** environ;

namespace tollbrook::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char kPostfix[] = TOLLBROOK_POSTFIX;
constexpr const char kSendmail[] = TOLLBROOK_POSTFIX_SENDMAIL;
constexpr const char kPostqueue[] = TOLLBROOK_POSTQUEUE;

// Where Debian keeps the daemons, the master among them.
constexpr const char kDaemonDirectory[] = "/usr/lib/postfix/sbin";

// The unprivileged user the capture transport runs as: pipe(8) refuses root
// and the mail owner.
constexpr const char kCaptureUser[] = "nobody";

// The capture program: one file per delivery, named after the queue id and the
// recipient, written under a hidden name and renamed when complete so a
// reader never sees half a message; the envelope sender goes to a side file
// written before it.
constexpr const char kCaptureScript[] = R"(#!/bin/sh
# $1 directory, $2 queue id, $3 recipient, $4 sender
set -e
name=$(printf '%s.%s' "$2" "$3" | tr -c 'A-Za-z0-9@._+=-' '_')
printf '%s' "$4" > "$1/.$name.sender"
mv "$1/.$name.sender" "$1/$name.sender"
cat > "$1/.$name.tmp"
mv "$1/.$name.tmp" "$1/$name.eml"
)";

// Every service this instance needs, none chrooted: the daemons of a test
// instance have no copy of /etc in the queue directory.
constexpr const char kMasterServices[] =
    R"(pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
)";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string lastLines(const std::string& text, size_t count) {
  size_t at = text.size();
  for (size_t seen = 0; at > 0 && seen <= count; --at) {
    if (text[at - 1] == '\n') ++seen;
  }
  return text.substr(at);
}

// The string value of "key": "..." in one line of postqueue's JSON, from
// `from` on; the position after it is left in `from`. Postfix escapes '"',
// '\\' and control bytes; the latter come back as '?' here.
std::optional<std::string> jsonString(std::string_view line, std::string_view key, size_t& from) {
  std::string marker = "\"" + std::string(key) + "\": \"";
  size_t at = line.find(marker, from);
  if (at == std::string_view::npos) {
    marker = "\"" + std::string(key) + "\":\"";
    at = line.find(marker, from);
    if (at == std::string_view::npos) return std::nullopt;
  }
  std::string value;
  size_t i = at + marker.size();
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      value += line[i];
      continue;
    }
    char escaped = line[++i];
    if (escaped == 'u') {
      i += 4;
      value += '?';
    } else {
      value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
    }
  }
  from = i;
  return value;
}

std::optional<std::string> jsonString(std::string_view line, std::string_view key) {
  size_t from = 0;
  return jsonString(line, key, from);
}

// posix_spawn of argv[0] with standard input from `input` (or /dev/null when
// -1), in a new process group when `ownGroup`. The pid, or 0.
pid_t spawn(const std::vector<std::string>& argvIn, int input, bool ownGroup) {
  std::vector<std::string> args = argvIn;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (ownGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : 0;
}

}  // namespace

std::string postfixUnavailableReason() {
  for (const char* program : {kPostfix, kSendmail, kPostqueue}) {
    if (program[0] == '\0') {
      return "Postfix is not installed (postfix, sendmail and postqueue in /usr/sbin; "
             "scripts/install-deps.sh installs it)";
    }
  }
  std::string master = std::string(kDaemonDirectory) + "/master";
  if (::access(master.c_str(), X_OK) != 0) return "Postfix's master is missing at " + master;
  if (::geteuid() != 0) return "a private Postfix instance needs root";
  if (::getpwnam("postfix") == nullptr || ::getgrnam("postdrop") == nullptr) {
    return "the postfix user or the postdrop group is missing";
  }
  if (::getpwnam(kCaptureUser) == nullptr) return "the user nobody is missing";
  return {};
}

uint16_t pickFreeTcpPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

PostfixInstance::PostfixInstance(const PostfixOptions& options) {
  if (std::string reason = postfixUnavailableReason(); !reason.empty()) {
    error_ = reason;
    return;
  }
  startGuard();
  if (!writeConfiguration(options)) return;
  if (!start()) return;
  waitUntilAccepting();
}

PostfixInstance::~PostfixInstance() {
  stopGuard();
  stop();
}

void PostfixInstance::fail(std::string what) {
  if (!error_.empty()) return;
  error_ = std::move(what);
  std::string tail = lastLines(log(), 20);
  if (!tail.empty()) error_ += "\nPostfix's log ends with:\n" + tail;
}

std::string PostfixInstance::program(std::string_view name) const {
  std::string directory(kPostfix);
  directory.erase(directory.rfind('/') + 1);
  return directory + std::string(name);
}

std::string PostfixInstance::log() const {
  return readFile(dir_.file("maillog"));
}

bool PostfixInstance::writeConfiguration(const PostfixOptions& options) {
  // Postfix's daemons and the capture user must get into the directory.
  const passwd* capture = ::getpwnam(kCaptureUser);
  std::string deliveries = dir_.file("deliveries");
  if (::chmod(dir_.path().c_str(), 0755) != 0 || ::mkdir(dir_.file("etc").c_str(), 0755) != 0 ||
      ::mkdir(dir_.file("queue").c_str(), 0755) != 0 || ::mkdir(deliveries.c_str(), 0755) != 0 ||
      ::chown(deliveries.c_str(), capture->pw_uid, capture->pw_gid) != 0) {
    fail("cannot prepare the directories under " + dir_.path());
    return false;
  }
  std::string script = dir_.file("etc/capture.sh");
  if (!writeFile(script, kCaptureScript) || ::chmod(script.c_str(), 0755) != 0) {
    fail("cannot write " + script);
    return false;
  }
  smtpPort_ = pickFreeTcpPort();
  if (smtpPort_ == 0) {
    fail("no free loopback port for smtpd");
    return false;
  }

  std::vector<PostfixParameter> parameters = {
      {"compatibility_level", "3.6"},
      {"queue_directory", dir_.file("queue")},
      {"data_directory", dir_.file("data")},
      {"mail_owner", "postfix"},
      {"setgid_group", "postdrop"},
      {"myhostname", "mta.tollbrook.test"},
      {"mydomain", "tollbrook.test"},
      {"myorigin", "$myhostname"},
      {"inet_interfaces", "127.0.0.1"},
      {"inet_protocols", "ipv4"},
      // Nothing is local: every recipient goes to the capture transport, and
      // neither aliases nor the password file are consulted.
      {"mydestination", ""},
      {"local_recipient_maps", ""},
      {"alias_maps", ""},
      {"alias_database", ""},
      {"relay_domains", ""},
      {"mynetworks", "127.0.0.0/8"},
      {"smtpd_relay_restrictions", "permit_mynetworks, reject"},
      {"default_transport", "capture"},
      {"relay_transport", "capture"},
      {"local_transport", "capture"},
      {"virtual_transport", "capture"},
      {"capture_destination_recipient_limit", "1"},
      // No name service for the test domains or the client: the client name
      // is "unknown" and no lookup can hang on a machine without DNS.
      {"smtpd_peername_lookup", "no"},
      {"smtp_dns_support_level", "disabled"},
      {"biff", "no"},
      // The log goes to a file the test reads (postlogd), not to syslog.
      {"maillog_file", dir_.file("maillog")},
      {"maillog_file_prefixes", dir_.path()},
      // Retries come quickly, so a flushed queue empties within the test.
      {"queue_run_delay", "1s"},
      {"minimal_backoff_time", "1s"},
      {"maximal_backoff_time", "2s"},
      {"in_flow_delay", "0"},
      {"smtpd_error_sleep_time", "0"},
      {"smtpd_milters", options.smtpdMilters},
      {"non_smtpd_milters", options.nonSmtpdMilters},
      {"milter_protocol", "6"},
      {"milter_default_action", "tempfail"},
      {"milter_connect_timeout", "10s"},
      {"milter_command_timeout", "20s"},
      {"milter_content_timeout", "30s"},
  };
  parameters.insert(parameters.end(), options.extraParameters.begin(),
                    options.extraParameters.end());
  std::string mainCf;
  for (const auto& [name, value] : parameters) mainCf += name + " = " + value + "\n";

  std::string masterCf = "127.0.0.1:" + std::to_string(smtpPort_) + " inet n - n - - smtpd\n" +
                         kMasterServices +
                         "capture   unix  -       n       n       -       -       pipe\n"
                         "  user=" +
                         kCaptureUser + " null_sender= argv=" + script + " " + deliveries +
                         " ${queue_id} ${recipient} ${sender}\n";
  if (!writeFile(dir_.file("etc/main.cf"), mainCf) ||
      !writeFile(dir_.file("etc/master.cf"), masterCf)) {
    fail("cannot write the configuration under " + dir_.path());
    return false;
  }
  return true;
}

bool PostfixInstance::start() {
  // `postfix check` makes the queue and data directories with Postfix's own
  // owners and modes, as `postfix start` would before starting the master.
  ProgramRun check = runProgram({kPostfix, "-c", configDirectory(), "check"});
  if (check.status != 0) {
    fail("postfix check failed: " + check.err);
    return false;
  }
  // The master itself rather than `postfix start`: it stays our child, so the
  // test can wait for it and knows its process group (the master makes one
  // of its own).
  std::string master = std::string(kDaemonDirectory) + "/master";
  std::vector<std::string> args = {master, "-c", configDirectory()};
  pid_t pid = spawn(args, -1, false);
  if (pid <= 0) {
    fail("cannot start " + master);
    return false;
  }
  masterPid_ = pid;
  if (guardWrite_.valid()) {
    std::string line = std::to_string(pid) + "\n";
    [[maybe_unused]] ssize_t written = ::write(guardWrite_.get(), line.data(), line.size());
  }
  return true;
}

// A test that crashes runs no destructor. The guard, a shell of our own in a
// process group of its own, reads the master's pid from a pipe that only the
// test holds (a line per start); when the test process is gone the pipe ends,
// and the guard stops the last master's process group and removes the
// directory. The destructor kills the guard before it cleans up itself.
void PostfixInstance::startGuard() {
  constexpr const char kGuardScript[] =
      "pid=\n"
      "while read -r line; do pid=$line; done\n"
      "if [ -n \"$pid\" ]; then\n"
      "  kill -TERM -\"$pid\" 2>/dev/null && sleep 2\n"
      "  kill -KILL -\"$pid\" 2>/dev/null\n"
      "fi\n"
      "rm -rf \"$1\"\n";
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  UniqueFd read(ends[0]);
  guardWrite_.reset(ends[1]);
  guardPid_ = spawn({"/bin/sh", "-c", kGuardScript, "guard", dir_.path()}, read.get(), true);
  if (guardPid_ <= 0) guardWrite_.reset();
}

void PostfixInstance::stopGuard() {
  if (guardPid_ > 0) {
    ::kill(guardPid_, SIGKILL);
    ::waitpid(guardPid_, nullptr, 0);
    guardPid_ = 0;
  }
  guardWrite_.reset();
}

bool PostfixInstance::waitUntilAccepting() {
  auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(masterPid_, &status, WNOHANG) == masterPid_) {
      masterPid_ = 0;
      fail("Postfix's master exited during start-up");
      return false;
    }
    SmtpClient probe(smtpPort_);
    if (probe.greeting().code == 220) {
      probe.command("QUIT");
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fail("smtpd did not answer on port " + std::to_string(smtpPort_));
  return false;
}

void PostfixInstance::stop() {
  if (masterPid_ <= 0) return;
  // SIGTERM is the master's emergency stop: it passes the signal to its
  // children and exits. Whatever of its process group is still there after a
  // bounded wait is killed.
  ::kill(masterPid_, SIGTERM);
  auto deadline = Clock::now() + std::chrono::seconds(20);
  bool exited = false;
  while (!exited && Clock::now() < deadline) {
    int status = 0;
    pid_t got = ::waitpid(masterPid_, &status, WNOHANG);
    exited = got == masterPid_ || (got < 0 && errno == ECHILD);
    if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-masterPid_, SIGKILL);
  if (!exited) ::waitpid(masterPid_, nullptr, 0);
  masterPid_ = 0;
}

bool PostfixInstance::reconfigure(const std::vector<PostfixParameter>& parameters) {
  std::vector<std::string> argv = {program("postconf"), "-c", configDirectory(), "-e"};
  for (const auto& [name, value] : parameters) argv.push_back(name + "=" + value);
  if (!running() || runProgram(argv).status != 0) return false;
  // A restart rather than a reload: after SIGHUP an idle smtpd started before
  // it still serves the next session with the old settings.
  stop();
  return start() && waitUntilAccepting();
}

SmtpTransaction PostfixInstance::sendSmtp(std::string_view from,
                                          const std::vector<std::string>& recipients,
                                          std::string_view message, std::string_view helo) const {
  return sendSmtpMessage(smtpPort_, helo, from, recipients, message);
}

ProgramRun PostfixInstance::submit(std::string_view from,
                                   const std::vector<std::string>& recipients,
                                   std::string_view message) const {
  std::vector<std::string> argv = {kSendmail,         "-C", configDirectory(), "-f",
                                   std::string(from), "--"};
  argv.insert(argv.end(), recipients.begin(), recipients.end());
  return runProgramWithInput(dir_, argv, message);
}

std::vector<PostfixDelivery> PostfixInstance::deliveries() const {
  std::vector<std::string> names;
  std::string directory = dir_.file("deliveries");
  if (DIR* d = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      std::string name = entry->d_name;
      if (name[0] != '.' && endsWith(name, ".eml")) names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::vector<PostfixDelivery> out;
  for (const std::string& name : names) {
    std::string stem = name.substr(0, name.size() - 4);
    size_t dot = stem.find('.');
    if (dot == std::string::npos) continue;
    PostfixDelivery delivery;
    delivery.queueId = stem.substr(0, dot);
    delivery.recipient = stem.substr(dot + 1);
    delivery.sender = readFile(directory + "/" + stem + ".sender");
    delivery.message = readFile(directory + "/" + name);
    out.push_back(std::move(delivery));
  }
  return out;
}

std::optional<PostfixDelivery> PostfixInstance::waitForDelivery(std::string_view recipient,
                                                                std::string_view queueId,
                                                                int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (PostfixDelivery& delivery : deliveries()) {
      std::string key = delivery.queueId + "." + delivery.recipient;
      if (delivery.recipient != recipient || returned_.contains(key)) continue;
      if (!queueId.empty() && delivery.queueId != queueId) continue;
      returned_.insert(key);
      return std::move(delivery);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<PostfixQueueEntry> PostfixInstance::queue() const {
  ProgramRun run = runProgram({kPostqueue, "-c", configDirectory(), "-j"});
  std::vector<PostfixQueueEntry> out;
  size_t start = 0;
  while (start < run.out.size()) {
    size_t end = run.out.find('\n', start);
    if (end == std::string::npos) end = run.out.size();
    std::string_view line(run.out.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    PostfixQueueEntry entry;
    entry.queueName = jsonString(line, "queue_name").value_or("");
    entry.queueId = jsonString(line, "queue_id").value_or("");
    entry.sender = jsonString(line, "sender").value_or("");
    size_t from = line.find("\"recipients\"");
    while (from != std::string_view::npos) {
      std::optional<std::string> address = jsonString(line, "address", from);
      if (!address) break;
      entry.recipients.push_back(*address);
      // The reason, if any, belongs to this recipient only when it comes
      // before the next one's address.
      size_t next = line.find("\"address\"", from);
      size_t reasonFrom = from;
      std::optional<std::string> reason = jsonString(line, "delay_reason", reasonFrom);
      bool ours = reason && (next == std::string_view::npos || reasonFrom < next);
      entry.delayReasons.push_back(ours ? *reason : "");
    }
    out.push_back(std::move(entry));
  }
  return out;
}

bool PostfixInstance::flush() const {
  bool queued = runProgram({kPostqueue, "-c", configDirectory(), "-f"}).status == 0;
  bool pickup =
      runProgram({program("postkick"), "-c", configDirectory(), "public", "pickup", "W"}).status ==
      0;
  return queued && pickup;
}

bool PostfixInstance::waitForLog(std::string_view text, int timeoutMs) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace tollbrook::testing
