#!/bin/sh
# Server echo benchmark on loopback: floods the server's ports from bench/udp_flood.c and prints echoes per
# second and the server's CPU seconds per million echoes, beside the same figures for the blocking echo loop of
# bench/minimal_echo.c on the same ports and load. It also checks that every datagram the kernel delivered to
# the server was counted (its JSON lines) and that every echo it counted as sent reached the generator.
# Target: the server's CPU per echo at most 1.3 x the minimal loop's.
#
# Usage: bench/server_echo.sh [BINARY]          (default: build/brindlemoor)
# Environment: PORTS (4), THREADS (2 x PORTS), RUN_SECONDS (5), ROUNDS (3), BASE_PORT (47000), HOST (127.0.0.1)
set -eu
# A network namespace of its own keeps other programs' UDP traffic out of the kernel's counters (needs root).
if [ -z "${BENCH_IN_NETNS:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null; then
    BENCH_IN_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/brindlemoor}
PORTS=${PORTS:-4}
THREADS=${THREADS:-$((2 * PORTS))}
RUN_SECONDS=${RUN_SECONDS:-5}
ROUNDS=${ROUNDS:-3}
BASE_PORT=${BASE_PORT:-47000}
HOST=${HOST:-127.0.0.1}
KEY=4242
TICKS=$(getconf CLK_TCK)

WORK=$(mktemp -d)
child=
cleanup() {
    [ -n "$child" ] && kill "$child" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

cc -O2 -pthread -o "$WORK/udp_flood" "$ROOT/bench/udp_flood.c"
cc -O2 -pthread -o "$WORK/minimal_echo" "$ROOT/bench/minimal_echo.c"

# utime + stime of a process, in clock ticks (the fields after the command name, which may hold blanks).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }

# One named value of the kernel's UDP counters.
udp_counter() {
    awk -v name="$1" '/^Udp:/ { if (!header) { for (i = 2; i <= NF; i++) col[$i] = i; header = 1 } else print $col[name] }' \
        /proc/net/snmp
}

wait_bound() {
    port=$BASE_PORT
    while [ "$port" -lt $((BASE_PORT + PORTS)) ]; do
        hex=$(printf '%04X' "$port")
        tries=0
        until awk -v p=":$hex" '$2 ~ p"$" { found = 1 } END { exit !found }' /proc/net/udp /proc/net/udp6; do
            tries=$((tries + 1))
            [ "$tries" -lt 500 ] || { echo "port $port never bound" >&2; exit 1; }
            sleep 0.01
        done
        port=$((port + 1))
    done
}

# Floods the ports served by process $child; sets sent, received, cpu, in_datagrams, rcvbuf_errors.
flood() {
    wait_bound
    in_before=$(udp_counter InDatagrams)
    drops_before=$(udp_counter RcvbufErrors)
    cpu_before=$(cpu_ticks "$child")
    result=$("$WORK/udp_flood" "$HOST" "$BASE_PORT" "$PORTS" "$KEY" "$THREADS" "$RUN_SECONDS")
    cpu=$(($(cpu_ticks "$child") - cpu_before))
    in_datagrams=$(($(udp_counter InDatagrams) - in_before))
    rcvbuf_errors=$(($(udp_counter RcvbufErrors) - drops_before))
    sent=$(echo "$result" | sed 's/.*sent=\([0-9]*\).*/\1/')
    received=$(echo "$result" | sed 's/.*received=\([0-9]*\).*/\1/')
    seconds=$(echo "$result" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
}

# Echoes per second and CPU seconds per million echoes of the last flood.
figures() {
    awk -v received="$received" -v seconds="$seconds" -v cpu="$cpu" -v ticks="$TICKS" \
        'BEGIN { printf "%.0f %.3f\n", received / seconds, (cpu / ticks) / (received / 1e6) }'
}

# The server, its counts read from its JSON lines.
server_round() {
    RUST_LOG=off "$BIN" -s -k "$KEY" -p "$BASE_PORT" -n "$PORTS" -i 250 -m json "$HOST" >"$WORK/server.jsonl" &
    child=$!
    flood
    # Two more ticks, so that the lines hold everything the server counted.
    sleep 0.6
    kill -INT "$child"
    wait "$child" || true
    child=
    figures >>"$WORK/server.figures"
    pkts_rcvd=$(sed 's/.*"pkts_rcvd":\([0-9]*\).*/\1/' "$WORK/server.jsonl" | awk '{ s += $1 } END { print s + 0 }')
    pkts_sent=$(sed 's/.*"pkts_sent":\([0-9]*\).*/\1/' "$WORK/server.jsonl" | awk '{ s += $1 } END { print s + 0 }')
    echo "  server round: generator sent $sent, got $received echoes; server counted pkts_rcvd $pkts_rcvd," \
         "pkts_sent $pkts_sent; kernel delivered $in_datagrams (server + generator), dropped $rcvbuf_errors"
    # Each delivered datagram reached the server or the generator: what the server did not count never reached it.
    if [ $((pkts_rcvd + received)) -ne "$in_datagrams" ] || [ "$pkts_sent" -ne "$pkts_rcvd" ]; then
        accounting=MISMATCH
    fi
}

minimal_round() {
    "$WORK/minimal_echo" "$HOST" "$BASE_PORT" "$PORTS" "$KEY" &
    child=$!
    flood
    kill "$child"
    wait "$child" 2>/dev/null || true
    child=
    figures >>"$WORK/minimal.figures"
}

median() { # file column
    sort -n -k "$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

echo "loopback $HOST, ports $BASE_PORT-$((BASE_PORT + PORTS - 1)), $THREADS sender threads, ${RUN_SECONDS}s per flood," \
     "$ROUNDS rounds (medians below)"
accounting=ok
round=0
while [ "$round" -lt "$ROUNDS" ]; do
    server_round
    minimal_round
    round=$((round + 1))
done

server_cpu=$(median "$WORK/server.figures" 2)
minimal_cpu=$(median "$WORK/minimal.figures" 2)
printf "%-13s %10s echoes/s  %7s CPU s per million echoes\n" brindlemoor "$(median "$WORK/server.figures" 1)" "$server_cpu"
printf "%-13s %10s echoes/s  %7s CPU s per million echoes\n" minimal_echo "$(median "$WORK/minimal.figures" 1)" "$minimal_cpu"
awk -v s="$server_cpu" -v m="$minimal_cpu" 'BEGIN {
    printf "CPU per echo, server / minimal: %.2f (target <= 1.30): %s\n", s / m, s / m <= 1.3 ? "met" : "MISSED" }'
if [ "$accounting" = ok ]; then
    echo "accounting: in every round each datagram delivered to the server was counted and echoed"
else
    echo "accounting: MISMATCH (pkts_rcvd + echoes received != kernel deliveries, or pkts_sent != pkts_rcvd)"
fi
