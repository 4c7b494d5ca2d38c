// The descriptor limit in forked children (the limit is per process), and the
// count of descriptors a worker's ZeroMQ publisher really takes, measured
// against the figure the limit request uses.
#include "daemon/startup/fd_limit.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zmq.h>

#include <string>

#include "daemon/events/publisher.h"
#include "tests/dns_log_capture.h"
#include "tests/startup_test_support.h"

namespace tollbrook {
namespace {

using testing::Baton;
using testing::forkChild;
using testing::LogCapture;
using testing::waitForExit;

TEST(RaiseFdLimit, RaisesTowardsTheRequestButNeverLowers) {
  struct Case {
    rlim_t soft;
    rlim_t hard;
    uint64_t requested;
    rlim_t wantSoft;
  } cases[] = {
      {256, 4096, 1000, 1000},
      {256, 4096, 10000, 4096},  // capped by the hard limit
      {2048, 4096, 1000, 2048},  // a larger soft limit stays
      {512, 512, 1000, 512},
  };
  LogCapture log;
  for (const auto& c : cases) {
    Baton report;
    pid_t child = forkChild([&] {
      report.closeReadEnd();
      rlimit start{c.soft, c.hard};
      if (setrlimit(RLIMIT_NOFILE, &start) != 0) return 3;
      raiseFdLimit(c.requested);
      rlimit now{};
      getrlimit(RLIMIT_NOFILE, &now);
      report.send(std::to_string(now.rlim_cur) + "/" + std::to_string(now.rlim_max) + "\n");
      return 0;
    });
    report.closeWriteEnd();
    std::string input = std::to_string(c.soft) + "/" + std::to_string(c.hard) + " requested " +
                        std::to_string(c.requested);
    EXPECT_EQ(report.receiveLine(10000),
              std::to_string(c.wantSoft) + "/" + std::to_string(c.hard) + "\n")
        << "input " << input;
    EXPECT_EQ(waitForExit(child, 10000), 0) << "input " << input;
    EXPECT_EQ(log.takeJoined(), "info file descriptor limit set to " + std::to_string(c.wantSoft) +
                                    " (requested " + std::to_string(c.requested) + ", hard max " +
                                    std::to_string(c.hard) + ")")
        << "input " << input;
  }
}

int openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// A publisher connected to a collector, once its first event got through.
TEST(WorkerDescriptors, ZeroMqTakesNoMoreThanCounted) {
  if (openDescriptors() < 0) GTEST_SKIP() << "no /proc/self/fd to count descriptors with";
  void* context = zmq_ctx_new();
  void* collector = zmq_socket(context, ZMQ_SUB);
  const int zero = 0, timeoutMs = 100;
  zmq_setsockopt(collector, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(collector, ZMQ_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  zmq_setsockopt(collector, ZMQ_SUBSCRIBE, "", 0);
  ASSERT_EQ(zmq_bind(collector, "tcp://127.0.0.1:*"), 0);
  char endpoint[256] = {};
  size_t size = sizeof endpoint;
  zmq_getsockopt(collector, ZMQ_LAST_ENDPOINT, endpoint, &size);
  char frame[512];
  zmq_recv(collector, frame, sizeof frame, ZMQ_DONTWAIT);  // the collector's own threads start
  const int before = openDescriptors();

  int used = 0;
  {
    EventPublisher publisher;
    publisher.setUp(std::string_view(endpoint), "arc");
    ASSERT_TRUE(publisher.enabled());
    bool delivered = false;
    for (int attempt = 0; attempt < 100 && !delivered; ++attempt) {
      publisher.publish(EventAction::Verify, EventResult::Pass, 1);
      delivered = zmq_recv(collector, frame, sizeof frame, 0) > 0;
    }
    ASSERT_TRUE(delivered) << "no event reached the collector";
    used = openDescriptors() - before;
  }
  EXPECT_GT(used, 0);
  EXPECT_LE(static_cast<uint64_t>(used), kWorkerZmqDescriptors)
      << "a connected publisher holds " << used << " descriptors";
  zmq_close(collector);
  zmq_ctx_destroy(context);
}

}  // namespace
}  // namespace tollbrook
