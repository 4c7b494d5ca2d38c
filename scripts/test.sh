#!/usr/bin/env bash
# Installs the dependencies, builds Tollbrook three times with warnings as
# errors and runs the tests: every test in a Release build (so that warnings
# only optimisation reveals are caught) and under AddressSanitizer +
# UndefinedBehaviorSanitizer; the tests of what the daemon's threads share
# (workers, reload slots and reloads, the health monitor, the draining
# shutdown) under ThreadSanitizer, so a data race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
(cd build-release && ctest --output-on-failure -j"$jobs")

scripts/build.sh build-asan -DTOLLBROOK_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")

# Only the programs and tests the threaded tests need are built here.
tsan_targets=(tollbrook-daemon tollbrook-check daemon_reload_tests daemon_shutdown_tests
              worker_tests worker_unit_tests reload_tests dns_monitor_tests)
tsan_tests='^(Worker[A-Za-z]*|ConnectionTable|ReloadSlot[A-Za-z]*|HealthMonitor|Daemon(Reload|SealReload|Shutdown))\.'
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLLBROOK_WERROR=ON \
  -DTOLLBROOK_TSAN=ON "${launcher[@]}" >/dev/null
cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$jobs" -R "$tsan_tests")

# The Debian package: built, installed, run and purged again. Needs root (as
# on CI); it says so and skips otherwise.
scripts/package-test.sh build-package build-release/tests/milter-send
