#!/usr/bin/env bash
# Installs the dependencies, builds Tollbrook twice with warnings as errors
# (Release, so that warnings only optimisation reveals are caught, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
(cd build-release && ctest --output-on-failure -j"$jobs")

scripts/build.sh build-asan -DTOLLBROOK_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")
