#!/usr/bin/env bash
# A round trip a newcomer can watch: makes a throwaway sealing key, publishes it
# in a dnsmasq started on a free loopback port, seals a sample message with
# tollbrook-seal, checks the sealed message with tollbrook-check, seals it once
# more as a second hop, shows tollbrook-testkey saying PASS, and stops what it
# started. Usage: scripts/demo.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="$(realpath "${1:-build}")/tools"
for tool in tollbrook-seal tollbrook-check tollbrook-testkey; do
  [ -x "$bin/$tool" ] || { echo "demo: $bin/$tool is missing; build first" >&2; exit 2; }
done

work=$(mktemp -d /tmp/tollbrook-demo.XXXXXX)
dns_pid=
cleanup() {
  [ -n "$dns_pid" ] && kill "$dns_pid" 2>/dev/null && wait "$dns_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
step() { printf '\n== %s\n' "$*"; }

step "A throwaway 2048-bit RSA sealing key"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/seal.pem" 2>/dev/null
chmod 600 "$work/seal.pem"
p=$(openssl pkey -in "$work/seal.pem" -pubout -outform DER | base64 -w0)
record="v=DKIM1; k=rsa; p=$p"
echo "$work/seal.pem; its key record is ${#record} bytes"

step "dnsmasq on 127.0.0.1 publishing demo._domainkey.demo.example"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# A TXT character-string holds at most 255 bytes; dnsmasq takes the pieces
# separated by commas.
pieces=$(printf '%s' "$record" | fold -w 250 | paste -sd, -)
user_option=()
[ "$(id -u)" -eq 0 ] && user_option=(--user=root)
/usr/sbin/dnsmasq --no-daemon --port="$port" --listen-address=127.0.0.1 --bind-interfaces \
  --no-resolv --no-hosts --conf-file=/dev/null --pid-file "${user_option[@]}" \
  --local=/example/ "--txt-record=demo._domainkey.demo.example,$pieces" \
  >"$work/dnsmasq.log" 2>&1 &
dns_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo "listening on port $port (pid $dns_pid)"

cat >"$work/message.eml" <<'MAIL'
From: Alice Example <alice@example.org>
To: Bob <bob@demo.example>
Subject: Tollbrook demonstration
Date: Thu, 1 Jan 2026 12:00:00 +0000
Message-ID: <demo-1@example.org>

Hello Bob,

this message is about to get an ARC set.
MAIL

seal() {  # seal <message> <output>: prints the new set and puts it on top
  "$bin/tollbrook-seal" -d demo.example -s demo -k "$work/seal.pem" -n 127.0.0.1 -p "$port" \
    "$1" >"$work/set.txt"
  tr -d '\r' <"$work/set.txt"
  /usr/bin/python3 - "$work/set.txt" "$1" "$2" <<'PY'
import sys
aar, seal, ams = open(sys.argv[1], "rb").read().rstrip(b"\n").split(b"\n\n")
message = open(sys.argv[2], "rb").read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
# A sealer inserts AAR, AMS and ARC-Seal each at the top, so they read upwards.
open(sys.argv[3], "wb").write(b"\r\n".join([seal, ams, aar]) + b"\r\n" + message)
PY
}

step "tollbrook-seal: the new ARC set (instance 1, cv=none)"
seal "$work/message.eml" "$work/sealed.eml"

step "tollbrook-check on the sealed message"
"$bin/tollbrook-check" -v -n 127.0.0.1 -p "$port" "$work/sealed.eml"

step "tollbrook-seal again, as the next hop would (instance 2, cv=pass)"
seal "$work/sealed.eml" "$work/sealed2.eml"

step "tollbrook-check on the message sealed twice"
"$bin/tollbrook-check" -v -n 127.0.0.1 -p "$port" "$work/sealed2.eml"

step "tollbrook-testkey: does the published key belong to the key file?"
"$bin/tollbrook-testkey" -s demo -d demo.example -k "$work/seal.pem" -n 127.0.0.1 -p "$port"

step "Stopping dnsmasq and removing $work"
