#include "testsupport/alloc_failure.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace tollbrook::testing {

namespace {

// Thread-local so a test's helper threads (DNS servers, ...) are never hit.
thread_local int64_t remaining = -1;  // -1: disarmed
thread_local int64_t failed = 0;

bool shouldFail() {
  if (remaining < 0) return false;
  if (remaining == 0) {
    ++failed;
    return true;
  }
  --remaining;
  return false;
}

void* allocate(std::size_t size, std::align_val_t align, bool aligned) {
  if (size == 0) size = 1;
  if (aligned)
    return std::aligned_alloc(
        static_cast<std::size_t>(align),
        (size + static_cast<std::size_t>(align) - 1) & ~(static_cast<std::size_t>(align) - 1));
  return std::malloc(size);
}

}  // namespace

void failAllocationsAfter(int64_t n) {
  remaining = n;
  failed = 0;
}

void disarmAllocationFailure() {
  remaining = -1;
}

int64_t failedAllocations() {
  return failed;
}

}  // namespace tollbrook::testing

using tollbrook::testing::allocate;
using tollbrook::testing::shouldFail;

void* operator new(std::size_t size) {
  if (shouldFail()) throw std::bad_alloc();
  void* p = allocate(size, std::align_val_t(alignof(std::max_align_t)), false);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (shouldFail()) return nullptr;
  return allocate(size, std::align_val_t(alignof(std::max_align_t)), false);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (shouldFail()) throw std::bad_alloc();
  void* p = allocate(size, align, true);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
