#!/usr/bin/env bash
# A soak of the daemon under AddressSanitizer (build-asan) and ThreadSanitizer
# (build-tsan): for SECONDS seconds (default 60) build/tests/milter-soak keeps
# a verify listener and a sealing listener busy with dkimpy's chains and plain
# messages, while the nameserver (dnsmasq on port 53 of 127.0.53.x) is killed
# and started again every 10 seconds and the daemon gets SIGHUP every second;
# SIGTERM comes while the load is still running. Fails on any sanitizer
# report, a crash, a leak, a daemon that does not exit 0, or a message left
# half modified.
#   scripts/soak.sh [asan|tsan|both] [SECONDS]     (needs root, /usr/bin/python3 with python3-dkim, dnsmasq)
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-both}
seconds=${2:-60}
[ "$(id -u)" = 0 ] || { echo "soak: needs root (the daemon asks port 53)" >&2; exit 2; }
dnsmasq=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)
[ -x "$dnsmasq" ] || { echo "soak: dnsmasq is missing" >&2; exit 2; }

work=$(mktemp -d /tmp/tollbrook-soak.XXXXXX)
dns_pid="" daemon_pid="" load_pids=()
cleanup() {
  for pid in $dns_pid $daemon_pid "${load_pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  if [ -n "${SOAK_KEEP:-}" ]; then echo "soak: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# dkimpy's chains and their key records, and a seal key of our own.
/usr/bin/python3 tests/arc_oracle.py fixtures "$work/fx" >/dev/null
/usr/bin/python3 tests/arc_oracle.py keygen 2048 "$work/seal.pem" >/dev/null
chmod 600 "$work/seal.pem"
cat >"$work/plain.eml" <<'MAIL'
From: Alice <alice@example.org>
To: Bob <bob@example.com>
Subject: soak
Date: Thu, 1 Jan 2026 12:00:00 +0000
Message-ID: <soak@example.org>

Hello Bob,
MAIL
sed -i 's/$/\r/' "$work/plain.eml"

dns_ip=127.0.53.$((200 + RANDOM % 50))
txt=()
while IFS=$'\t' read -r name text; do
  arg="--txt-record=$name"
  for ((at = 0; at < ${#text}; at += 250)); do arg+=",${text:at:250}"; done
  txt+=("$arg")
done <"$work/fx/records.txt"
start_dns() {
  "$dnsmasq" --no-daemon --port=53 --listen-address="$dns_ip" --bind-interfaces --no-resolv \
    --no-hosts --conf-file=/dev/null --pid-file --user=root --local=/example/ --local=/test/ \
    "${txt[@]}" >/dev/null 2>&1 &
  dns_pid=$!
}
stop_dns() { kill "$dns_pid" 2>/dev/null || true; wait "$dns_pid" 2>/dev/null || true; dns_pid=""; }

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

soak_one() {
  local kind=$1 tree=build-$1 option
  [ "$kind" = asan ] && option=-DTOLLBROOK_SANITIZE=ON || option=-DTOLLBROOK_TSAN=ON
  echo "soak[$kind]: building the daemon and the load in $tree"
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLLBROOK_WERROR=ON "$option" \
    "${launcher[@]}" >/dev/null
  cmake --build "$tree" -j"$(nproc)" --target tollbrook-daemon milter-soak >/dev/null

  local verify_port=$((20000 + RANDOM % 20000)) seal_port log="$work/$kind.log"
  seal_port=$((verify_port + 1))
  cat >"$work/$kind.conf" <<CONF
[global]
Foreground = yes
Syslog = no
LogLevel = info
PidFile = $work/$kind.pid
WorkerThreads = 2
AuthservID = mx.soak.example
DnsNameserver = $dns_ip
DnsTimeout = 1
DnsRetries = 0
DnsNegativeTTL = 2
On-DNSError = tempfail
SealDomain = seal.example
SealSelector = sel
SealKeyFile = $work/seal.pem
[listener:verify]
Socket = inet:$verify_port@127.0.0.1
Mode = verify
[listener:both]
Socket = inet:$seal_port@127.0.0.1
Mode = both
CONF
  start_dns
  ASAN_OPTIONS=detect_leaks=1 TSAN_OPTIONS=halt_on_error=0 \
    "$tree/daemon/tollbrook" -c "$work/$kind.conf" >"$log" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 200); do listening "$seal_port" && break; sleep 0.1; done
  listening "$seal_port" || { cat "$log"; echo "soak[$kind]: the daemon did not start" >&2; return 1; }

  load_pids=()
  "$tree/tests/milter-soak" -p "$verify_port" -c 3 -s "$seconds" \
    "$work/fx/relaxed_3.eml" "$work/plain.eml" "$work/fx/seal_changed_3.eml" \
    >"$work/$kind.verify.out" 2>&1 &
  load_pids+=($!)
  "$tree/tests/milter-soak" -p "$seal_port" -c 2 -s "$seconds" \
    "$work/fx/relaxed_1.eml" "$work/plain.eml" "$work/fx/mixed_3.eml" \
    >"$work/$kind.seal.out" 2>&1 &
  load_pids+=($!)

  # By the clock, not by counting sleeps: on a busy machine a second's sleep
  # takes longer, and SIGTERM must come while the load still runs.
  local failed=0 start=$SECONDS last_toggle=$SECONDS
  while ((SECONDS - start < seconds - 3)); do
    sleep 1
    kill -0 "$daemon_pid" 2>/dev/null || {
      echo "soak[$kind]: the daemon died at $((SECONDS - start))s" >&2
      failed=1
      break
    }
    kill -HUP "$daemon_pid"
    if ((SECONDS - last_toggle >= 10)); then
      last_toggle=$SECONDS
      if [ -n "$dns_pid" ]; then stop_dns; else start_dns; fi
    fi
  done
  kill -TERM "$daemon_pid" 2>/dev/null || true
  local status=0
  wait "$daemon_pid" || status=$?
  daemon_pid=""
  for pid in "${load_pids[@]}"; do wait "$pid" || { echo "soak[$kind]: a load failed" >&2; failed=1; }; done
  load_pids=()
  [ -n "$dns_pid" ] && stop_dns

  echo "soak[$kind]: verify load: $(cat "$work/$kind.verify.out")"
  echo "soak[$kind]: sealing load: $(cat "$work/$kind.seal.out")"
  echo "soak[$kind]: $(grep -c 'configuration reloaded' "$log" || true) reloads, daemon exit status $status"
  if grep -qE 'Sanitizer|runtime error:' "$log"; then
    grep -E -A30 'Sanitizer|runtime error:' "$log" | head -80 >&2
    echo "soak[$kind]: sanitizer report" >&2
    failed=1
  fi
  [ "$status" = 0 ] || { tail -20 "$log" >&2; echo "soak[$kind]: exit status $status" >&2; failed=1; }
  return "$failed"
}

result=0
case $which in
  asan) soak_one asan || result=1 ;;
  tsan) soak_one tsan || result=1 ;;
  both) soak_one asan || result=1; soak_one tsan || result=1 ;;
  *) echo "usage: scripts/soak.sh [asan|tsan|both] [SECONDS]" >&2; exit 2 ;;
esac
[ "$result" = 0 ] && echo "soak: clean" || echo "soak: FAILED" >&2
exit "$result"
