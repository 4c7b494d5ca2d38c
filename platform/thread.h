// Threads with an explicit stack and guard size. A Thread owns one running
// thread and joins it at the latest when the owner is destroyed, so a thread
// can never outlive what its body uses by being forgotten. The owner is used
// from one thread (the one that started it).
#ifndef TOLLBROOK_PLATFORM_THREAD_H_
#define TOLLBROOK_PLATFORM_THREAD_H_

#include <pthread.h>

#include <cstddef>
#include <functional>

#include "base/error.h"

namespace tollbrook {

struct ThreadStack {
  size_t stackBytes;
  size_t guardBytes;
};

// The daemon's long-lived threads (workers and the DNS health monitor).
inline constexpr ThreadStack kServiceThreadStack{.stackBytes = 16 * 1024 * 1024,
                                                 .guardBytes = 4 * 1024};

class Thread {
 public:
  using Body = std::move_only_function<void()>;

  Thread() = default;
  ~Thread() { join(); }
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;  // joins the thread this one held
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs body on a new thread. Fails with SystemResources when the system
  // cannot make another thread (pthread_create's EAGAIN: thread limit or no
  // memory for the stack), InvalidArgument for a stack or guard size the
  // platform refuses, OutOfMemory, or Unexpected for any other refusal.
  [[nodiscard]] static Result<Thread> start(Body body, ThreadStack stack);

  // Waits for the thread to end. Does nothing when no thread is held.
  void join();
  bool running() const { return joinable_; }

 private:
  explicit Thread(pthread_t handle) : handle_(handle), joinable_(true) {}

  pthread_t handle_{};
  bool joinable_ = false;
};

}  // namespace tollbrook

#endif  // TOLLBROOK_PLATFORM_THREAD_H_
