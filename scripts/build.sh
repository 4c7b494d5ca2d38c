#!/usr/bin/env bash
# Configures and builds one build tree with warnings as errors:
#   scripts/build.sh <dir> [cmake options...]
# The build type is RelWithDebInfo unless the options name another.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLLBROOK_WERROR=ON "${launcher[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
