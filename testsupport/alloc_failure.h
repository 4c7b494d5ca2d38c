// Allocation-failure hook for test binaries: the global operator new of every
// test binary counts allocations and, once armed, throws std::bad_alloc (or
// returns null for the nothrow forms) from the n-th allocation on. Lets tests
// prove that each allocation on a path surfaces as OutOfMemory, never a crash.
#ifndef TOLLBROOK_TESTSUPPORT_ALLOC_FAILURE_H_
#define TOLLBROOK_TESTSUPPORT_ALLOC_FAILURE_H_

#include <cstdint>

namespace tollbrook::testing {

// Allocations 0..n-1 after this call succeed; allocation n and later fail,
// until disarmAllocationFailure().
void failAllocationsAfter(int64_t n);
void disarmAllocationFailure();
// Number of allocations that failed since the last arm.
int64_t failedAllocations();

// Arms in its constructor and disarms in its destructor.
class ScopedAllocationFailure {
 public:
  explicit ScopedAllocationFailure(int64_t n) { failAllocationsAfter(n); }
  ~ScopedAllocationFailure() { disarmAllocationFailure(); }
  ScopedAllocationFailure(const ScopedAllocationFailure&) = delete;
  ScopedAllocationFailure& operator=(const ScopedAllocationFailure&) = delete;
};

// Runs `body` with allocation k failing, for k = 0, 1, ... until a run makes
// no failed allocation (or `limit` runs). The body checks its own outcome:
// success, or OutOfMemory. Returns the number of runs.
template <typename Body>
int64_t forEachAllocationFailure(Body body, int64_t limit = 10000) {
  for (int64_t k = 0; k < limit; ++k) {
    bool failed;
    {
      ScopedAllocationFailure guard(k);
      body();
      failed = failedAllocations() > 0;
    }
    if (!failed) return k + 1;
  }
  return limit;
}

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTSUPPORT_ALLOC_FAILURE_H_
