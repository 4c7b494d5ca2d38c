#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs what it
# installed, and removes it again (purge). Needs root; skips otherwise.
#   scripts/package-test.sh [build-dir] [milter-send]
# build-dir: where scripts/package.sh builds (default build-package).
# milter-send: the test MTA of a test build (tests/milter-send); when given,
#   a message goes through the installed daemon, which must seal it.
#
# The daemon is started from the installed program and configuration, as root
# and in the foreground (no systemd runs here) but with the unit's capability
# bounding set, with a sealing key owned by the user the package made, as
# docs/keys.md tells an administrator to do: it must read the key, drop to
# that user, serve, reload the key and stop.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
milter_send=${2:-}

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: skipped: installing a package needs root"
  exit 0
fi
if ! command -v dpkg >/dev/null || ! command -v apt-get >/dev/null; then
  echo "package-test: skipped: not a Debian system"
  exit 0
fi

failures=0
fail() {
  echo "package-test: FAIL: $*" >&2
  failures=$((failures + 1))
}
expect() {
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}

tmp=$(mktemp -d /tmp/tollbrook-package.XXXXXX)
daemon_pid=""
key=/etc/tollbrook/package-test.key
# Beside the installed one, readable to the daemon's user for the reload.
config=/etc/tollbrook/package-test.conf
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  rm -f "$key" "$config"
  if dpkg-query -W -f='${Status}' tollbrook 2>/dev/null | grep -q 'ok installed'; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tollbrook >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

deb=$(scripts/package.sh "$build" 2>"$tmp/package.log") ||
  { cat "$tmp/package.log" >&2; echo "package-test: building the package failed" >&2; exit 1; }
deb=$(realpath "$deb")
echo "package-test: installing $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" \
  >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; echo "package-test: install failed" >&2; exit 1; }
dpkg-query -W -f='${Status}' tollbrook 2>/dev/null | grep -q 'ok installed' ||
  { echo "package-test: tollbrook is not installed after apt-get install" >&2; exit 1; }

# --- What the package put on the system ---------------------------------------
user=$(getent passwd tollbrook || true)
[ -n "$user" ] || fail "no user tollbrook"
uid=$(echo "$user" | cut -d: -f3)
[ -n "$uid" ] && [ "$uid" -lt 1000 ] && [ "$uid" -ne 0 ] || fail "tollbrook is no system user: $user"
getent group tollbrook >/dev/null || fail "no group tollbrook"
dpkg-query -W -f='${Conffiles}\n' tollbrook | grep -q '^ /etc/tollbrook/tollbrook.conf ' ||
  fail "/etc/tollbrook/tollbrook.conf is no conffile"
for f in /usr/sbin/tollbrook /usr/bin/tollbrook-check /usr/bin/tollbrook-seal \
  /usr/bin/tollbrook-testkey /lib/systemd/system/tollbrook.service; do
  [ -e "$f" ] || fail "$f not installed"
done
# Not enabled: the administrator sets a key and enables it.
[ ! -e /etc/systemd/system/multi-user.target.wants/tollbrook.service ] ||
  fail "the package enabled the service"

# --- The installed tools ------------------------------------------------------
printf 'From: a@x.example\r\nTo: b@y.example\r\nSubject: s\r\n\r\nbody\r\n' >"$tmp/plain.eml"
out=$(/usr/bin/tollbrook-check "$tmp/plain.eml" 2>&1) && status=0 || status=$?
expect "tollbrook-check plain.eml" "$status:$out" "0:none"

# --- The installed daemon -----------------------------------------------------
(umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null)
chown tollbrook "$key"
chmod 600 "$key"
sock=/run/tollbrook/milter.sock
sed -e 's/^Foreground[[:space:]]*=.*/Foreground = yes/' \
  -e 's/^Syslog[[:space:]]*=.*/Syslog = no/' \
  -e "s#^Socket[[:space:]]*=.*#Socket = unix:$sock#" \
  -e 's/^Mode[[:space:]]*=.*/Mode = both/' \
  -e 's/^#SealDomain[[:space:]]*=.*/SealDomain = example.org/' \
  -e 's/^#SealSelector[[:space:]]*=.*/SealSelector = arc/' \
  -e "s#^\#SealKeyFile[[:space:]]*=.*#SealKeyFile = $key#" \
  /etc/tollbrook/tollbrook.conf >"$config"

# With the capabilities the unit leaves it and no new privileges, as systemd
# would start it: reading the key, the runtime directory and the drop must
# work with those alone.
caps=$(sed -n 's/^CapabilityBoundingSet=//p' /lib/systemd/system/tollbrook.service |
  tr 'A-Z' 'a-z' | sed -e 's/cap_/+/g' -e 's/ /,/g')
[ -n "$caps" ] || fail "the unit names no CapabilityBoundingSet"
setpriv --no-new-privs --bounding-set "-all,$caps" \
  /usr/sbin/tollbrook -c "$config" 2>"$tmp/daemon.log" &
daemon_pid=$!
for _ in $(seq 1 100); do
  grep -q "listener\[0\] mode=both" "$tmp/daemon.log" && [ -S "$sock" ] && break
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q "loaded 2048-bit seal key from $key" "$tmp/daemon.log" || fail "the seal key was not loaded"
[ -S "$sock" ] || fail "no socket $sock"
# Real, effective, saved and file-system user ids, all the user's.
expect "the daemon's user ids" "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' "/proc/$daemon_pid/status")" \
  "$uid $uid $uid $uid"
expect "owner of /run/tollbrook" "$(stat -c %U /run/tollbrook)" tollbrook
expect "pid file" "$(cat /run/tollbrook/tollbrook.pid 2>/dev/null)" "$daemon_pid"

if [ -n "$milter_send" ] && [ -x "$milter_send" ]; then
  out=$("$milter_send" -u "$sock" "$tmp/plain.eml" 2>&1) || fail "milter-send: $out"
  echo "$out" | grep -q "ARC-Seal" || fail "the daemon did not seal: $out"
fi

# The key is read again as the unprivileged user.
kill -HUP "$daemon_pid"
for _ in $(seq 1 50); do
  grep -q "seal key reloaded from $key\|reload: .*seal key" "$tmp/daemon.log" && break
  sleep 0.1
done
grep -q "seal key reloaded from $key" "$tmp/daemon.log" ||
  fail "the reload did not reload the seal key as tollbrook"

kill -TERM "$daemon_pid"
wait "$daemon_pid" && status=0 || status=$?
daemon_pid=""
expect "exit status after SIGTERM" "$status" 0
[ ! -e /run/tollbrook/tollbrook.pid ] || fail "the pid file stayed after the stop"
[ ! -e "$sock" ] || fail "the socket stayed after the stop"
if [ "$failures" -ne 0 ]; then
  echo "--- daemon log" >&2
  cat "$tmp/daemon.log" >&2
fi

# --- Removal ------------------------------------------------------------------
rm -f "$key" "$config"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tollbrook >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log" >&2; fail "purge failed"; }
for f in /usr/sbin/tollbrook /usr/bin/tollbrook-check /etc/tollbrook /run/tollbrook \
  /lib/systemd/system/tollbrook.service; do
  [ ! -e "$f" ] || fail "$f stayed after the purge"
done

if [ "$failures" -ne 0 ]; then
  echo "package-test: $failures check(s) failed" >&2
  exit 1
fi
echo "package-test: all checks passed"
