#!/usr/bin/env bash
# The demo: builds pktgate and the simulator pktgate-sim, points the gateway at the simulator and
# runs both, showing the simulated radio users' side of the conversation.
#
#   scripts/run.sh [--duration N] [-- simulator options...]
#
# - Installs what is missing (scripts/setup-deps.sh) and builds (scripts/build.sh) in build/
#   (BUILD_DIR=... for another directory).
# - Writes BUILD_DIR/pktgate.cfg when there is none: engine on 127.0.0.1:8000, node on
#   127.0.0.1:7300, cluster callsign GB7TC. An existing file is kept; the simulator then listens
#   on the ports it names. A file that points at another host (a real engine and node) runs the
#   gateway alone.
# - Starts the simulator (demo users unless other options follow "--"), then the gateway: its
#   window when $DISPLAY is set, offscreen otherwise. The gateway's own messages go to
#   BUILD_DIR/pktgate-run.log, its error log is BUILD_DIR/error.log.
# - Ctrl-C (or the end of --duration N seconds, or closing the window) ends both cleanly: the
#   gateway gets SIGTERM (a system close for it), the simulator prints its summary.
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$top/build}"
duration=0
sim_args=()

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
    --duration)
        [ $# -ge 2 ] || { echo "run.sh: --duration needs a number of seconds" >&2; exit 2; }
        duration="$2"
        shift 2
        ;;
    --duration=*)
        duration="${1#--duration=}"
        shift
        ;;
    -h | --help)
        usage
        exit 0
        ;;
    --)
        shift
        sim_args=("$@")
        break
        ;;
    *)
        echo "run.sh: unknown option '$1' (try --help)" >&2
        exit 2
        ;;
    esac
done
if ! [[ "$duration" =~ ^[0-9]+$ ]]; then
    echo "run.sh: --duration needs a whole number of seconds, not '$duration'" >&2
    exit 2
fi

bash "$top/scripts/setup-deps.sh"
echo "run.sh: building in $build"
bash "$top/scripts/build.sh" "$build"

cfg="$build/pktgate.cfg"
if [ ! -f "$cfg" ]; then
    echo "run.sh: writing $cfg (engine 127.0.0.1:8000, node 127.0.0.1:7300, callsign GB7TC)"
    printf '%s\r\n' \
        '"Cluster Call","GB7TC"' \
        '"AGW IP","127.0.0.1"' \
        '"AGW Port","8000"' \
        '"Winsock IP","127.0.0.1"' \
        '"Winsock Port","7300"' \
        '"Packet Length",130' \
        '"Keep Alive",5' \
        '"Config Top",1800' \
        '"Config Left",1800' \
        '"Top",1200' \
        '"Left",1200' \
        '"Height",10005' \
        '"Width",13425' >"$cfg"
fi

# A value from the settings file: the field after the quoted key, quotes and blanks removed.
setting() {
    tr -d '\r' <"$cfg" | awk -F, -v key="\"$1\"" '$1 == key { v = $2 } END { print v }' |
        tr -d '"' | sed -e 's/^ *//' -e 's/ *$//'
}
agw_ip="$(setting "AGW IP")"
agw_port="$(setting "AGW Port")"
node_ip="$(setting "Winsock IP")"
node_port="$(setting "Winsock Port")"
local_host() { [ "$1" = 127.0.0.1 ] || [ "$1" = localhost ]; }

use_sim=1
if ! local_host "$agw_ip" || ! local_host "$node_ip"; then
    use_sim=0
    echo "run.sh: $cfg points at $agw_ip:$agw_port (engine) and $node_ip:$node_port (node);"
    echo "run.sh: running the gateway alone, without the simulator"
fi

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

run_dir="$(mktemp -d)"
sim_pid=""
gw_pid=""
tail_pid=""
stopping=0

stop_all() {
    [ $stopping = 1 ] && return
    stopping=1
    # The gateway first, so the simulator still sees its users leave; then the simulator, which
    # prints its summary.
    if [ -n "$gw_pid" ] && kill -0 "$gw_pid" 2>/dev/null; then
        kill -TERM "$gw_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$gw_pid" 2>/dev/null || true
    fi
    [ -n "$gw_pid" ] && wait "$gw_pid" 2>/dev/null || true
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$sim_pid" 2>/dev/null || true
    fi
    [ -n "$sim_pid" ] && wait "$sim_pid" 2>/dev/null || true
    # Let the display catch up with the simulator's last lines.
    if [ -n "$tail_pid" ]; then
        for _ in $(seq 20); do kill -0 "$tail_pid" 2>/dev/null || break; sleep 0.1; done
        kill "$tail_pid" 2>/dev/null || true
        wait "$tail_pid" 2>/dev/null || true
    fi
    rm -rf "$run_dir"
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap 'stop_all' EXIT

if [ $use_sim = 1 ]; then
    # The file is there before tail looks for it, whichever of the two starts first.
    : >"$run_dir/sim.out"
    # setsid: Ctrl-C reaches this script only, which ends both programs in order.
    setsid "$build/tools/pktgate-sim" --agw-port "$agw_port" --node-port "$node_port" \
        ${sim_args[@]+"${sim_args[@]}"} >"$run_dir/sim.out" 2>&1 &
    sim_pid=$!
    tail -n +1 -f --pid="$sim_pid" "$run_dir/sim.out" &
    tail_pid=$!
    # Both peers listening (one with --engine-only or --node-only) before the gateway starts:
    # otherwise it would wait a minute for its next connection attempt.
    peers=2
    case " ${sim_args[*]:-} " in *" --engine-only "* | *" --node-only "*) peers=1 ;; esac
    started=0
    for _ in $(seq 100); do
        if [ "$(grep -c '^pktgate-sim: .* on 127\.0\.0\.1:' "$run_dir/sim.out" 2>/dev/null)" -ge $peers ]; then
            started=1
            break
        fi
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ $started = 0 ]; then
        echo "run.sh: the simulator did not start (ports $agw_port and $node_port free?)" >&2
        exit 1
    fi
fi

if [ -n "${DISPLAY:-}" ]; then
    echo "run.sh: starting the gateway's window on $DISPLAY"
    setsid "$build/pktgate" >"$build/pktgate-run.log" 2>&1 &
else
    echo "run.sh: no display: the gateway runs offscreen (QT_QPA_PLATFORM=offscreen)"
    QT_QPA_PLATFORM=offscreen setsid "$build/pktgate" >"$build/pktgate-run.log" 2>&1 &
fi
gw_pid=$!
if [ "$duration" -gt 0 ]; then
    echo "run.sh: running for $duration s; Ctrl-C ends earlier"
else
    echo "run.sh: Ctrl-C ends the gateway and the simulator"
fi

start=$SECONDS
while kill -0 "$gw_pid" 2>/dev/null; do
    if [ -n "$sim_pid" ] && ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "run.sh: the simulator has ended" >&2
        break
    fi
    if [ "$duration" -gt 0 ] && [ $((SECONDS - start)) -ge "$duration" ]; then break; fi
    sleep 0.2
done
kill -0 "$gw_pid" 2>/dev/null || echo "run.sh: the gateway has ended"
stop_all
echo "run.sh: done (gateway messages: $build/pktgate-run.log, error log: $build/error.log)"
