#!/usr/bin/env bash
# The daemon's performance table: starts dnsmasq with the key records, the
# daemon on loopback (modes verify and both, 1 and 2 workers) and the trivial
# milter, runs milter-load against each, measures the crypto floor, and prints
# one table (docs/performance.md holds the figures). Needs root (dnsmasq
# answers on port 53, the only port the daemon asks), /usr/bin/python3 with
# dkimpy (python3-dkim) and dnsmasq.
#
#   bench/run-load.sh [build-dir] [seconds]          (default: build, 10)
#
# ROUNDS=n (default 3) rounds over all cases, SINGLE=n (default 3000) messages
# in each 1-connection run; LONG=1 adds the resident-memory run afterwards: a
# fresh daemon (verify, 2 workers), 200,000 messages over 64 connections, its
# RSS at messages 10,000, 50,000, 100,000, 150,000 and 200,000.
#
# The message is a 10 KiB one that dkimpy sealed three times (keys cached by
# the daemon after the first message). Each case is a 1-connection run over
# TCP (end-of-message latency, CPU per message) and a 64-connection run
# (throughput, p50/p99, CPU per message). The load generator runs on the same
# machine and takes CPU of its own, which the table shows ("load us"). At the
# end the goals are computed from the table.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${2:-10}
single=${SINGLE:-3000}   # messages of the 1-connection runs
rounds=${ROUNDS:-3}
python=/usr/bin/python3
dnsmasq=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)
load=$build/bench/milter-load
for program in "$load" "$build/bench/trivial-milter" "$build/bench/crypto-floor" \
  "$build/daemon/tollbrook" "$python" "$dnsmasq"; do
  [ -x "$program" ] || { echo "run-load: $program is missing" >&2; exit 2; }
done
[ "$(id -u)" = 0 ] || { echo "run-load: needs root for dnsmasq on port 53" >&2; exit 2; }

work=$(mktemp -d /tmp/tollbrook-load.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_listening() {  # port pid
  for _ in $(seq 200); do
    if "$python" -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null
    then return 0; fi
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
field() {  # key result-line
  sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"
}

# --- keys, records and the message ---
chain_p=$("$python" tests/arc_oracle.py keygen 2048 "$work/hops.pem")
openssl genrsa -out "$work/seal.pem" 2048 2>/dev/null
chmod 600 "$work/seal.pem"
seal_p=$(openssl rsa -in "$work/seal.pem" -pubout -outform DER 2>/dev/null | base64 -w0)
{
  printf 'From: Alice <alice@example.org>\r\nTo: Bob <bob@example.com>\r\n'
  printf 'Subject: A message of ten kibibytes\r\nDate: Thu, 1 Jan 2026 00:00:00 +0000\r\n'
  printf 'Message-ID: <load@example.org>\r\n\r\n'
  for n in $(seq 1 150); do
    printf 'Line %d of a message body of plain prose, long enough to look like mail.\r\n' "$n"
  done
} >"$work/plain.eml"
cp "$work/plain.eml" "$work/chain.eml"
for hop in 1 2 3; do
  arc=""; [ "$hop" -gt 1 ] && arc="; arc=pass"
  { printf 'Authentication-Results: hop%d.example; spf=pass%s\r\n' "$hop" "$arc"; cat "$work/chain.eml"; } |
    "$python" tests/arc_oracle.py seal "$work/hops.pem" s "hop$hop.example" "hop$hop.example" \
      >"$work/next.eml"
  mv "$work/next.eml" "$work/chain.eml"
done

# dnsmasq splits a record's text into character-strings at the commas.
record() { local text="v=DKIM1; k=rsa; p=$2" out="--txt-record=$1"
  while [ -n "$text" ]; do out+=",${text:0:250}"; text=${text:250}; done; echo "$out"; }
# The address is claimed as the tests claim theirs (an flock on a file named
# after it, held while this script runs), so that a test run beside this one
# never takes this dnsmasq for its own.
dns_address=""
for _ in $(seq 10); do
  candidate="127.0.53.$((RANDOM % 250 + 2))"
  exec {dns_lock}>"/tmp/tollbrook-test-dns-$candidate.lock"
  if ! flock -n "$dns_lock"; then exec {dns_lock}>&-; continue; fi
  "$dnsmasq" --no-daemon --port=53 --listen-address="$candidate" --bind-interfaces --no-resolv \
    --no-hosts --conf-file=/dev/null --pid-file --user=root --local=/example/ \
    "$(record s._domainkey.hop1.example "$chain_p")" "$(record s._domainkey.hop2.example "$chain_p")" \
    "$(record s._domainkey.hop3.example "$chain_p")" "$(record sel._domainkey.bench.example "$seal_p")" \
    >"$work/dnsmasq.log" 2>&1 &
  dns_pid=$!
  sleep 0.3
  if kill -0 "$dns_pid" 2>/dev/null; then dns_address=$candidate; pids+=("$dns_pid"); break; fi
  exec {dns_lock}>&-
done
[ -n "$dns_address" ] || { echo "run-load: dnsmasq did not start" >&2; cat "$work/dnsmasq.log" >&2; exit 1; }

# --- one daemon, measured ---
start_daemon() {  # mode workers port
  local conf=$work/$1-$2.conf
  cat >"$conf" <<EOF
[global]
Foreground = yes
Syslog = no
LogLevel = ${LOGLEVEL:-info}
PidFile = $work/run-$1-$2/tollbrook.pid
WorkerThreads = $2
AuthservID = mx.bench.example
DnsNameserver = $dns_address
SealDomain = bench.example
SealSelector = sel
SealKeyFile = $work/seal.pem
[listener:load]
Socket = inet:$3@127.0.0.1
Mode = $1
EOF
  "$build/daemon/tollbrook" -c "$conf" >>"$work/daemon-$1-$2.log" 2>&1 &
  daemon_pid=$!
  pids+=("$daemon_pid")
  wait_listening "$3" "$daemon_pid" || { echo "run-load: the daemon did not listen" >&2;
    cat "$work/daemon-$1-$2.log" >&2; exit 1; }
}

# Every server runs from the start; the rounds take turns over them, so load
# from other processes falls on all alike, and each figure is the best of the
# rounds (lowest CPU and latency, highest rate), each taken on its own.
servers=()
trivial_port=$(free_port)
"$build/bench/trivial-milter" "inet:127.0.0.1:$trivial_port" &
trivial_pid=$!
pids+=("$trivial_pid")
wait_listening "$trivial_port" "$trivial_pid"
servers+=("trivial|$trivial_pid|$trivial_port|a")
for mode in verify both; do
  expect=c; [ "$mode" = both ] && expect=a
  for workers in 1 2; do
    port=$(free_port)
    start_daemon "$mode" "$workers" "$port"
    servers+=("$mode-${workers}w|$daemon_pid|$port|$expect")
  done
done

declare -A best
keep() {  # min|max key value
  local current=${best[$2]:-}
  if [ -z "$current" ] || awk -v a="$3" -v b="$current" -v w="$1" \
    'BEGIN { exit !((w == "min" && a + 0 < b + 0) || (w == "max" && a + 0 > b + 0)) }'; then
    best[$2]=$3
  fi
}
for round in $(seq "$rounds"); do
  for server in "${servers[@]}"; do
    IFS='|' read -r name pid port expect <<<"$server"
    one=$("$load" --address "inet:127.0.0.1:$port" --message "$work/chain.eml" --expect "$expect" \
      --pid "$pid" --warmup 200 --messages "$single" | tail -1)
    many=$("$load" --address "inet:127.0.0.1:$port" --message "$work/chain.eml" --expect "$expect" \
      --pid "$pid" --warmup 500 --seconds "$seconds" --connections 64 | tail -1)
    [ "$(field unexpected "$one")" = 0 ] && [ "$(field unexpected "$many")" = 0 ] ||
      { echo "run-load: $name answered with unexpected codes" >&2; exit 1; }
    for metric in cpu_us p50_ms p99_ms max_ms; do keep min "$name one $metric" "$(field $metric "$one")"; done
    for metric in cpu_us client_cpu_us p50_ms p99_ms; do keep min "$name many $metric" "$(field $metric "$many")"; done
    keep max "$name many rate" "$(field rate "$many")"
    # The tail ratio is taken within one run: the best p99 and the best p50
    # may come from different rounds.
    keep min "$name many tail" "$(awk -v a="$(field p99_ms "$many")" -v b="$(field p50_ms "$many")" \
      'BEGIN { printf "%.2f", a / b }')"
    echo "round $round: $name" >&2
  done
  floor=$("$build/bench/crypto-floor" "$work/chain.eml" "$chain_p" "$work/seal.pem" 3 | tail -1)
  keep min "floor verify" "$(field verify_us "$floor")"
  keep min "floor both" "$(field both_us "$floor")"
done

rss=""
if [ "${LONG:-0}" = 1 ]; then
  for server in "${servers[@]}"; do IFS='|' read -r _ pid _ _ <<<"$server"; kill "$pid" 2>/dev/null || true; done
  port=$(free_port)
  start_daemon verify 2 "$port"
  long=$("$load" --address "inet:127.0.0.1:$port" --message "$work/chain.eml" --expect c \
    --pid "$daemon_pid" --messages 200000 --connections 64 \
    --rss-at 10000,50000,100000,150000,200000 | tail -1)
  rss="RSS (verify, 2 workers, 64 connections, KiB) at message"
  for at in 10000 50000 100000 150000 200000; do rss+=" $at: $(field "rss_${at}_kib" "$long")"; done
fi

b() { echo "${best[$1]}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "$(nproc) CPUs: $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
echo "message: $(wc -c <"$work/chain.eml") bytes, 3 ARC sets by dkimpy; LogLevel ${LOGLEVEL:-info} to a file;" \
  "best of $rounds rounds; 1 conn: $single messages; 64 conn: $seconds s"
printf '%-10s | %7s %7s %7s %7s | %7s %7s %7s %7s %7s\n' "" "1 conn" "" "" "" "64 conn" "" "" "" ""
printf '%-10s | %7s %7s %7s %7s | %7s %7s %7s %7s %7s\n' case "CPU us" "p50 ms" "p99 ms" "max ms" \
  "msg/s" "p50 ms" "p99 ms" "CPU us" "load us"
for server in "${servers[@]}"; do
  name=${server%%|*}
  printf '%-10s | %7s %7s %7s %7s | %7.0f %7s %7s %7s %7s\n' "$name" "$(b "$name one cpu_us")" \
    "$(b "$name one p50_ms")" "$(b "$name one p99_ms")" "$(b "$name one max_ms")" \
    "$(b "$name many rate")" "$(b "$name many p50_ms")" "$(b "$name many p99_ms")" \
    "$(b "$name many cpu_us")" "$(b "$name many client_cpu_us")"
done
echo "crypto floor: verify $(b "floor verify") us, both $(b "floor both") us"
echo
echo "goals:"
for mode in verify both; do
  for workers in 1 2; do
    for conns in one many; do
      budget=$(awk -v t="$(b "trivial $conns cpu_us")" -v f="$(b "floor $mode")" 'BEGIN { print t + f }')
      echo "  CPU/msg $mode-${workers}w ($([ $conns = one ] && echo 1 || echo 64) conn):" \
        "$(b "$mode-${workers}w $conns cpu_us") us = $(ratio "$(b "$mode-${workers}w $conns cpu_us")" "$budget")" \
        "x (trivial + floor = $budget us; goal <= 1.25)"
    done
  done
  echo "  throughput 2 workers / 1 worker, $mode:" \
    "$(ratio "$(b "$mode-2w many rate")" "$(b "$mode-1w many rate")") (goal >= 1.8)"
done
for server in "${servers[@]}"; do
  name=${server%%|*}
  echo "  p99 / p50 at 64 connections, $name: $(b "$name many tail") in the best run (goal <= 3)"
done
[ -n "$rss" ] && echo "$rss"
exit 0
