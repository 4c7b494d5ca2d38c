#!/usr/bin/env bash
# Installs the dependencies, builds everything, and starts the daemon in the
# foreground with examples/tollbrook.conf: logging to this terminal, listening
# on 127.0.0.1:8895 in mode both (verify and seal), sealing with a demo key
# made on the first run (demo/seal.pem, mode 0600). Prints the DNS TXT record
# that publishes the key. Stop it with Ctrl-C. In another terminal,
# scripts/send-sample.sh sends a message through it.
#   scripts/run.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scripts/install-deps.sh
scripts/build.sh "$build"

mkdir -p demo
if [ ! -f demo/seal.pem ]; then
  (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 \
     -out demo/seal.pem 2>/dev/null)
  echo "Made the demo sealing key demo/seal.pem."
fi
chmod 600 demo/seal.pem

# What the configuration names, so the record printed is the one in use.
setting() { sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*//p" examples/tollbrook.conf | tail -1; }
p=$(openssl pkey -in demo/seal.pem -pubout -outform DER 2>/dev/null | base64 -w0)
record="v=DKIM1; k=rsa; p=$p"
echo
echo "Publish this TXT record so that receivers can verify the seals:"
echo
# A TXT character-string holds at most 255 bytes: the record goes in pieces.
printf '%s._domainkey.%s. IN TXT (' "$(setting SealSelector)" "$(setting SealDomain)"
printf '%s' "$record" | fold -w 250 | sed 's/.*/ "&"/' | tr -d '\n'
printf ' )\n'
echo
echo "Starting: $build/daemon/tollbrook -c examples/tollbrook.conf (Ctrl-C stops it)"
echo "Try it from another terminal: scripts/send-sample.sh"
echo
exec "$build/daemon/tollbrook" -c examples/tollbrook.conf
