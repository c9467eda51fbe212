#!/bin/sh
# Installs what the build needs, builds, and runs a real measurement on this host: a server on loopback ports
# 4000-4003 and a client with 4 sessions against it for about 10 seconds, then Ctrl+C to both for their summaries.
set -eu
. "$(dirname "$0")/common.sh"
install_deps
build_tree "$ROOT/build"
BIN="$ROOT/build/brindlemoor"
SECONDS_TO_RUN="${1:-10}"

"$BIN" --server --key 42 --port 4000 --sessions 4 127.0.0.1 &
server=$!
sleep 1
"$BIN" --key 42 --port 4000 --sessions 4 --rate 100 --tag demo 127.0.0.1 &
client=$!
sleep "$SECONDS_TO_RUN"
kill -INT "$client"
wait "$client" || true
kill -INT "$server"
wait "$server" || true
