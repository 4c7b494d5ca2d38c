#!/usr/bin/env bash
# Installs every package that building and testing Tollbrook needs on Debian 12.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential g++ cmake make pkg-config git
  libssl-dev openssl
  libzmq3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-format
  python3 python3-dkim python3-authres python3-dnspython
  dnsmasq-base
  mandoc
)

# The libFuzzer build needs clang 16 (clang 14 cannot compile libstdc++ 12's
# <expected>); only scripts/fuzz.sh asks for it.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-16 libclang-rt-16-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
