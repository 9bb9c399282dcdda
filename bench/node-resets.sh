#!/usr/bin/env bash
# Counts the node errors the gateway logs when the cluster node resets every connection as soon as
# it accepts it: the real gateway (headless) against the simulator's engine with 100 users that
# connect at once, and a node (Python) that accepts and resets with SO_LINGER 0. Every user gets
# a "d" and every reset must be counted in error.log, as a "winsckOut_Error" line or in a
# "repeated N times" line.
#
#   bench/node-resets.sh [--runs N] [--users N] [--gateway PATH]
#
# Prints the count of each run (N users expected) and a summary line "runs R, short S".
#   BUILD_DIR=...  build directory (default build/ at the top of the tree)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$top/build}"
gateway="$build/pktgate"
sim="$build/tools/pktgate-sim"
runs=10
users=100
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs=$2; shift 2 ;;
    --users) users=$2; shift 2 ;;
    --gateway) gateway=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--users N] [--gateway PATH]" >&2; exit 2 ;;
    esac
done

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

one_run() {
    local dir agw node np sp gp
    dir=$(mktemp -d)
    agw=$(free_port)
    node=$(free_port)
    printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port","%s"\r\n"Winsock IP","127.0.0.1"\r\n"Winsock Port","%s"\r\n"Packet Length",128\r\n' \
        "$agw" "$node" >"$dir/pktgate.cfg"
    python3 - "$node" <<'PY' &
import socket, struct, sys
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(512)
while True:
    c, _ = s.accept()
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
PY
    np=$!
    "$sim" --agw-port "$agw" --engine-only --users "$users" --lines-per-user 0 --baud 0 --quiet \
        --duration 6 >"$dir/sim.out" 2>&1 &
    sp=$!
    sleep 0.3
    "$gateway" --headless --dir "$dir" >"$dir/gateway.out" 2>&1 &
    gp=$!
    wait "$sp" || true
    sleep 1.5 # the last summary of the log comes a second after its burst
    kill "$gp" 2>/dev/null || true
    wait "$gp" 2>/dev/null || true
    kill "$np" 2>/dev/null || true
    wait "$np" 2>/dev/null || true
    python3 - "$dir/error.log" <<'PY'
import re, sys
n = 0
for line in open(sys.argv[1], encoding="latin-1"):
    if " winsckOut_Error " in line:
        m = re.search(r"repeated ([\d,]+) times", line)
        n += int(m.group(1).replace(",", "")) if m else 1
print(n)
PY
    rm -rf "$dir"
}

short=0
for ((i = 1; i <= runs; i++)); do
    n=$(one_run)
    echo "run $i: $n of $users resets logged"
    [ "$n" -lt "$users" ] && short=$((short + 1))
done
echo "runs $runs, short $short"
