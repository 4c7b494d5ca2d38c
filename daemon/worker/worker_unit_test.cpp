// The worker's pieces without a running loop: the connection table, and the
// building of a worker when memory runs out.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/worker/connection_table.h"
#include "daemon/worker/worker.h"
#include "platform/listen_socket.h"
#include "testsupport/alloc_failure.h"

namespace tollbrook {
namespace {

size_t openDescriptors() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

std::unique_ptr<MilterConnection> connectionOn(UniqueFd socket) {
  auto connection = std::make_unique<MilterConnection>();
  connection->socket = std::move(socket);
  return connection;
}

UniqueFd someSocket() {
  return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

TEST(ConnectionTable, FindsByDescriptorAndOwnsTheSocket) {
  ConnectionTable table;
  UniqueFd a = someSocket(), b = someSocket();
  const int fa = a.get(), fb = b.get();
  ASSERT_TRUE(table.insert(connectionOn(std::move(a))).has_value());
  ASSERT_TRUE(table.insert(connectionOn(std::move(b))).has_value());
  EXPECT_EQ(table.size(), 2u);
  ASSERT_NE(table.find(fa), nullptr);
  EXPECT_EQ(table.find(fa)->socket.get(), fa);
  EXPECT_EQ(table.find(-1), nullptr);
  EXPECT_EQ(table.find(fb + 1000), nullptr);

  EXPECT_NE(table.remove(fb), nullptr);
  EXPECT_EQ(table.remove(fb), nullptr) << "removed twice";
  EXPECT_EQ(table.size(), 1u);
  table.clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(fcntl(fa, F_GETFD), -1) << "clear left a socket open";
}

TEST(WorkerBuild, RunningOutOfMemoryIsReportedAndLeaksNothing) {
  int shutdownPipe[2];
  ASSERT_EQ(pipe2(shutdownPipe, O_CLOEXEC), 0);
  const size_t before = openDescriptors();
  const int64_t runs = testing::forEachAllocationFailure([&] {
    WorkerSetup setup;
    setup.shutdownFd = shutdownPipe[0];
    Result<std::unique_ptr<Worker>> worker = Worker::create(std::move(setup));
    if (!worker) {
      EXPECT_EQ(worker.error(), Error::OutOfMemory);
      return;
    }
    Result<UniqueFd> listener = listenInet("127.0.0.1", 0);
    if (!listener) {
      EXPECT_EQ(listener.error(), Error::OutOfMemory);
      return;
    }
    Status added = (*worker)->addListener(std::move(*listener), "");
    if (!added) {
      EXPECT_EQ(added.error(), Error::OutOfMemory);
    }
  });
  EXPECT_GT(runs, 1);
  EXPECT_EQ(openDescriptors(), before);
  close(shutdownPipe[0]);
  close(shutdownPipe[1]);
}

}  // namespace
}  // namespace tollbrook
