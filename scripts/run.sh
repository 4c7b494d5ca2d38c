#!/usr/bin/env bash
# Installs the dependencies, builds everything, and runs the demonstration: a
# sealing round trip through tollbrook-seal, tollbrook-check and
# tollbrook-testkey against a dnsmasq it starts and stops (scripts/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
echo "Tollbrook built in ./build."
scripts/demo.sh build
