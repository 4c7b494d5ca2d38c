#!/usr/bin/env bash
# Sends a sample message through the running daemon (scripts/run.sh) the way
# an MTA would, and prints what the daemon asked the MTA to change: the new
# ARC set and Authentication-Results it inserts, the forged Authentication-
# Results it deletes, and its answer. No mail server needed.
#   scripts/send-sample.sh [message-file] [port]   (default: a built-in sample, 8895)
# Uses build/tests/milter-send (BUILD_DIR=... for another build directory).
set -euo pipefail
cd "$(dirname "$0")/.."
send="${BUILD_DIR:-build}/tests/milter-send"
[ -x "$send" ] || { echo "send-sample: $send is missing; run scripts/run.sh first" >&2; exit 2; }

message=${1:-}
if [ -z "$message" ]; then
  message=$(mktemp /tmp/tollbrook-sample.XXXXXX)
  trap 'rm -f "$message"' EXIT
  # The second Authentication-Results claims this host's authserv-id
  # (demo.example) with an arc result: the daemon deletes it as forged.
  cat >"$message" <<'MAIL'
Authentication-Results: mx.example.org; spf=pass smtp.mailfrom=example.org
Authentication-Results: demo.example; arc=pass
From: Alice Example <alice@example.org>
To: Bob <bob@demo.example>
Subject: Tollbrook sample
Date: Thu, 1 Jan 2026 12:00:00 +0000
Message-ID: <sample-1@example.org>

Hello Bob,

this message goes through the milter once.
MAIL
fi
exec "$send" -p "${2:-8895}" -d "$message"
