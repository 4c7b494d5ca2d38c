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
  # systemd-analyze, for the check of the installed unit (nothing is started:
  # the package only provides the programs).
  systemd
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

# Postfix, for the tests that run a private instance of it (each in a temp
# directory of its own, started and stopped by the test). Debconf's "No
# configuration" installs the programs, the postfix user and the postdrop group
# but writes no /etc/postfix/main.cf, so there is no system instance: both the
# init script and the systemd unit do nothing without that file. A policy-rc.d
# that refuses every start (where the machine has none) keeps the package's
# scripts from trying one during the install. A later run finds the package
# and does nothing.
if ! dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q 'install ok installed'; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  echo "postfix postfix/main_mailer_type select No configuration" |
    "${sudo_cmd[@]}" debconf-set-selections
  guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    guard=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$guard" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$guard"
    trap '"${sudo_cmd[@]}" rm -f "$guard"' EXIT
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends postfix
fi
