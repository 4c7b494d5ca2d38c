#!/usr/bin/env bash
# What `cmake --install` puts on a system, checked in a staging tree (DESTDIR):
#   install_test.sh tree <build-dir> <prefix> <sbindir> <bindir> <mandir> <config-file> <unit-file>
#     the installed files and nothing else, the installed tools run, and the
#     daemon started detached from the installed configuration and stopped;
#   install_test.sh unit <build-dir> <prefix> <sbindir> <bindir> <mandir> <config-file> <unit-file>
#     the systemd unit: what it starts, its pid file, and systemd-analyze
#     verify (skipped, exit 77, without systemd-analyze);
#   install_test.sh rcd ... <unit-file> <rc-script>
#     the FreeBSD rc.d script as made for this build, run against a stand-in
#     for rc.subr that prints what the real one would be told.
# Paths are the absolute installed ones; <unit-file> is empty where no unit is
# installed.
set -euo pipefail

mode=$1 build=$2 prefix=$3 sbindir=$4 bindir=$5 mandir=$6 config=$7 unit=$8 rc_script=${9:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tollbrook-install.XXXXXX")
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# expect <what> <got> <want>
expect() {
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}

root=$tmp/root
install_tree() {
  DESTDIR=$root cmake --install "$build" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }
}

# ---------------------------------------------------------------------------
check_tree() {
  # Exactly the four programs are executable: nothing of the tests,
  # benchmarks or fuzzers comes along.
  local programs
  programs=$(cd "$root" && find . -type f -perm -u+x | sed 's#^\.##' | sort | tr '\n' ' ')
  expect "installed programs" "$programs" \
    "$bindir/tollbrook-check $bindir/tollbrook-seal $bindir/tollbrook-testkey $sbindir/tollbrook "
  # Every page of man/, in its section (those written later too).
  local page name
  for page in "$(dirname "$0")"/../man/*.[158]; do
    name=${page##*/}
    [ -f "$root$mandir/man${name##*.}/$name" ] ||
      fail "manual page $mandir/man${name##*.}/$name not installed"
  done
  [ -f "$root$mandir/man1/tollbrook-check.1" ] || fail "no manual page of tollbrook-check"
  [ -f "$root$config" ] || fail "configuration $config not installed"
  # The shipped configuration must not seal: no key is set in it.
  if grep -Eq '^[[:space:]]*Seal(KeyFile|Domain|Selector)[[:space:]]*=' "$root$config"; then
    fail "the installed configuration sets a sealing key"
  fi
  # Installing again keeps an administrator's configuration.
  cp "$root$config" "$tmp/shipped.conf"
  echo "# changed by the administrator" >>"$root$config"
  DESTDIR=$root cmake --install "$build" >"$tmp/install.log" 2>&1 || fail "second cmake --install"
  expect "configuration after a second install" "$(tail -1 "$root$config")" \
    "# changed by the administrator"
  cp "$tmp/shipped.conf" "$root$config"
}

check_tools() {
  local out status
  printf 'From: a@x.example\r\nTo: b@y.example\r\nSubject: s\r\n\r\nbody\r\n' >"$tmp/plain.eml"
  # Two seals of instance 1: broken without a key lookup.
  printf '%s\r\n' 'ARC-Seal: i=1; a=rsa-sha256; cv=none; d=x.example; s=s; b=AA' \
    'ARC-Seal: i=1; a=rsa-sha256; cv=none; d=x.example; s=s; b=AA' \
    'From: a@x.example' '' 'body' >"$tmp/broken.eml"

  out=$("$root$bindir/tollbrook-check" "$tmp/plain.eml" 2>&1) && status=0 || status=$?
  expect "tollbrook-check plain.eml" "$status:$out" "0:none"
  out=$("$root$bindir/tollbrook-check" -v "$tmp/broken.eml" 2>&1) && status=0 || status=$?
  expect "tollbrook-check -v broken.eml" "$status:$out" \
    "0:fail reason=broken ARC chain: duplicate header in instance"
  out=$("$root$bindir/tollbrook-check" -h 2>&1) && status=0 || status=$?
  expect "tollbrook-check -h" "$status:${out%%$'\n'*}" "0:Usage: tollbrook-check [options] <message-file>"
  out=$("$root$bindir/tollbrook-testkey" 2>&1) && status=0 || status=$?
  expect "tollbrook-testkey without options" "$status:$out" \
    "2:tollbrook-testkey: -s <selector> is required"
  out=$("$root$bindir/tollbrook-seal" -h 2>&1) && status=0 || status=$?
  expect "tollbrook-seal -h" "$status:${out%% *}" "0:Usage:"
  out=$("$root$sbindir/tollbrook" -c "$tmp/missing.conf" 2>&1) && status=0 || status=$?
  expect "tollbrook -c missing.conf: status" "$status" 1
  expect "tollbrook -c missing.conf: last line" "${out##*$'\n'}" "error: error.FileNotFound"
}

# The installed configuration as it is, but for what a test cannot use: the
# system user, syslog, the port and the system's runtime directory.
test_config() {
  local run=$1
  sed -e '/^User[[:space:]]*=/d' \
    -e 's/^Syslog[[:space:]]*=.*/Syslog = no/' \
    -e "s#^Socket[[:space:]]*=.*#Socket = unix:$run/milter.sock#" \
    -e "s#^\\[global\\]\$#[global]\\nPidFile = $run/tollbrook.pid#" \
    "$root$config"
}

wait_gone() {
  local i
  for i in $(seq 1 400); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

check_daemon() {
  local run=$tmp/run status
  test_config "$run" >"$tmp/tollbrook.conf"
  # Detached: the command returns once the daemon serves.
  timeout 90 "$root$sbindir/tollbrook" -c "$tmp/tollbrook.conf" >"$tmp/daemon.out" 2>&1 && status=0 || status=$?
  expect "detached start: status" "$status" 0
  if [ "$status" -ne 0 ]; then
    cat "$tmp/daemon.out" >&2
    return
  fi
  daemon_pid=$(cat "$run/tollbrook.pid" 2>/dev/null || true)
  [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null ||
    { fail "no live daemon behind the pid file: '$daemon_pid'"; return; }
  [ -S "$run/milter.sock" ] || fail "the daemon listens on no $run/milter.sock"
  # A reload keeps it serving.
  kill -HUP "$daemon_pid"
  sleep 0.5
  kill -0 "$daemon_pid" 2>/dev/null || fail "the daemon died on SIGHUP"
  kill -TERM "$daemon_pid"
  wait_gone "$daemon_pid" || fail "the daemon did not stop on SIGTERM"
  [ ! -e "$run/tollbrook.pid" ] || fail "the pid file stayed after the stop"
  [ ! -e "$run/milter.sock" ] || fail "the socket stayed after the stop"
}

# ---------------------------------------------------------------------------
ini_value() {
  sed -n "s/^$1=//p" "$2" | tail -1
}

check_unit() {
  if [ -z "$unit" ]; then
    echo "no systemd unit is installed on this system; skipping"
    exit 77
  fi
  local file=$root$unit
  [ -f "$file" ] || { fail "unit $unit not installed"; return; }
  expect "ExecStart" "$(ini_value ExecStart "$file")" "$sbindir/tollbrook -c $config"
  expect "Type" "$(ini_value Type "$file")" forking
  expect "RuntimeDirectory" "$(ini_value RuntimeDirectory "$file")" tollbrook
  # The configuration keeps the daemon's default pid file, which under /run
  # is the one the unit names; and the daemon must detach for Type=forking.
  expect "PIDFile" "$(ini_value PIDFile "$file")" /run/tollbrook/tollbrook.pid
  if grep -Eq '^[[:space:]]*PidFile[[:space:]]*=' "$root$config"; then
    fail "the installed configuration moves the pid file away from the unit's PIDFile"
  fi
  expect "Foreground in the configuration" \
    "$(sed -n 's/^Foreground[[:space:]]*=[[:space:]]*//p' "$root$config")" no

  local analyze
  analyze=$(command -v systemd-analyze || true)
  if [ -z "$analyze" ]; then
    echo "systemd-analyze not found (Debian package systemd); skipping the verification"
    [ "$failures" -eq 0 ] && exit 77
    return
  fi
  # verify wants the program to exist: point the copy at the staged one. Any
  # complaint (an unknown key, a bad value) fails the test, also where
  # systemd-analyze only warns and exits 0.
  mkdir -p "$tmp/unit"
  sed "s#^ExecStart=$sbindir/#ExecStart=$root$sbindir/#" "$file" >"$tmp/unit/tollbrook.service"
  local out status
  out=$("$analyze" verify --man=no "$tmp/unit/tollbrook.service" 2>&1) && status=0 || status=$?
  expect "systemd-analyze verify" "$status:$out" "0:"
}

# ---------------------------------------------------------------------------
# rc.subr's part, as far as the script uses it: load_rc_config reads rc.conf
# settings (here: the environment), run_rc_command acts on what the script set.
write_rc_subr() {
  cat >"$1" <<'STUB'
load_rc_config() { :; }
run_rc_command() {
  echo "rc_arg=$1"
  echo "name=$name"
  echo "rcvar=$rcvar enable=$tollbrook_enable"
  echo "command=$command"
  echo "command_args=$command_args"
  echo "pidfile=$pidfile"
  echo "required_files=$required_files"
  echo "extra_commands=$extra_commands sig_reload=$sig_reload sig_stop=$sig_stop"
}
STUB
}

check_rcd() {
  [ -f "$rc_script" ] || { fail "no rc.d script at $rc_script"; return; }
  sh -n "$rc_script" || fail "sh -n $rc_script"
  write_rc_subr "$tmp/rc.subr"
  sed "s#^\. /etc/rc.subr\$#. $tmp/rc.subr#" "$rc_script" >"$tmp/tollbrook.rc"
  grep -q "^\. $tmp/rc.subr\$" "$tmp/tollbrook.rc" || fail "the script does not source /etc/rc.subr"
  local out want
  out=$(sh "$tmp/tollbrook.rc" start)
  want="rc_arg=start
name=tollbrook
rcvar=tollbrook_enable enable=NO
command=$sbindir/tollbrook
command_args=-c $config
pidfile=/var/run/tollbrook/tollbrook.pid
required_files=$config
extra_commands=reload sig_reload=HUP sig_stop=TERM"
  expect "rc.d script with the defaults" "$out" "$want"
  out=$(tollbrook_enable=YES tollbrook_config=/etc/other.conf tollbrook_pidfile=/var/run/x.pid \
    sh "$tmp/tollbrook.rc" reload | grep -E '^(rcvar|command_args|pidfile)=')
  want="rcvar=tollbrook_enable enable=YES
command_args=-c /etc/other.conf
pidfile=/var/run/x.pid"
  expect "rc.d script with rc.conf settings" "$out" "$want"
}

case "$mode" in
  tree)
    install_tree
    check_tree
    check_tools
    check_daemon
    ;;
  unit)
    install_tree
    check_unit
    ;;
  rcd)
    check_rcd
    ;;
  *)
    echo "usage: install_test.sh tree|unit|rcd <build-dir> <prefix> ..." >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
