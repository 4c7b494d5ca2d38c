#include "platform/thread.h"

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "platform/errno_map.h"

namespace tollbrook {

namespace {

// The body travels to the new thread on the heap; the thread frees it.
extern "C" void* runBody(void* argument) {
  std::unique_ptr<Thread::Body> body(static_cast<Thread::Body*>(argument));
  (*body)();
  return nullptr;
}

// Owner of a pthread_attr_t for the duration of one start.
class Attributes {
 public:
  Attributes() : error_(pthread_attr_init(&attr_)) {}
  ~Attributes() {
    if (error_ == 0) pthread_attr_destroy(&attr_);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;

  // pthread functions report their error as the return value, not in errno.
  Status apply(ThreadStack stack) {
    if (error_ != 0) return fail(errorFromErrno(error_));
    if (int error = pthread_attr_setstacksize(&attr_, stack.stackBytes); error != 0) {
      return fail(errorFromErrno(error));
    }
    if (int error = pthread_attr_setguardsize(&attr_, stack.guardBytes); error != 0) {
      return fail(errorFromErrno(error));
    }
    return {};
  }
  const pthread_attr_t* get() const { return &attr_; }

 private:
  pthread_attr_t attr_;
  int error_;
};

Error creationError(int error) {
  return error == EAGAIN ? Error::SystemResources : Error::Unexpected;
}

}  // namespace

Thread::Thread(Thread&& other) noexcept
    : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = other.handle_;
    joinable_ = std::exchange(other.joinable_, false);
  }
  return *this;
}

Result<Thread> Thread::start(Body body, ThreadStack stack) {
  Attributes attributes;
  if (auto applied = attributes.apply(stack); !applied) return fail(applied.error());
  std::unique_ptr<Body> boxed;
  try {
    boxed = std::make_unique<Body>(std::move(body));
  } catch (const std::bad_alloc&) {
    return fail(Error::OutOfMemory);
  }
  pthread_t handle;
  if (int error = pthread_create(&handle, attributes.get(), runBody, boxed.get()); error != 0) {
    return fail(creationError(error));
  }
  boxed.release();  // the new thread owns it now
  return Thread(handle);
}

void Thread::join() {
  if (!joinable_) return;
  pthread_join(handle_, nullptr);
  joinable_ = false;
}

}  // namespace tollbrook
