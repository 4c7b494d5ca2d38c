#!/usr/bin/env bash
# Installs the dependencies, builds everything, and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
echo "Tollbrook built in ./build."
