#!/usr/bin/env bash
# Measures how the gateway paces a radio user: the real gateway (build/pktgate, headless) against
# the simulator (build/tools/pktgate-sim), whose engine airs every user's frames at --baud and
# answers "Y" with the frames it holds. Each case runs twice, the gateway paced (its default) and
# unpaced (--max-outstanding 0), and prints one line per figure:
#
#   (a) one user, the node writes 16 KB at once, then 205 KB over 60 s: frames held in the engine,
#       the node's writes blocking, every byte in order, the time to air it all (about 40 minutes
#       of air time per run at 1200 baud);
#   (b) the user leaves ("d") in mid-flood and comes back: the time from the "d" to the node
#       seeing its connection closed, and whether the new session got text of the old one;
#   (c) 500 users with a spot each every 3 s (and 50 idle users), 60 s: the gateway's CPU share,
#       the latency from the node's write to the first frame at the engine, the "Y" requests.
#
#   bench/pacing.sh [--baud B] [--quick] [--node-send-buffer N] [--case a|b|c]...
#     --baud B   the radio links' bits per second (default 1200)
#     --node-send-buffer N
#                the node connections' SO_SNDBUF (default: the system's, which on 127.0.0.1
#                takes megabytes before the node's write blocks, whatever the gateway does)
#     --quick    a smoke run: 9600 baud unless --baud says otherwise, a tenth of the bytes in
#                (a), a fifth of the users and a third of the time in (c)
#     --case X   run only this case (repeatable; default all)
#     --mode M   run only paced or only unpaced
#
#   BUILD_DIR=...  build directory (default build/ at the top of the tree)
#   KEEP=1         keep the run directories (simulator and gateway output, report JSON)
#
# A gateway whose --help does not list --max-outstanding cannot be paced: the cases then run
# once, unpaced, and the output says so.
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$top/build}"
baud=""
quick=0
send_buffer=0
only_mode=""
cases=()
while [ $# -gt 0 ]; do
    case "$1" in
    --baud)
        baud="${2:?--baud needs a number}"
        shift 2
        ;;
    --quick)
        quick=1
        shift
        ;;
    --node-send-buffer)
        send_buffer="${2:?--node-send-buffer needs a number of bytes}"
        shift 2
        ;;
    --mode)
        only_mode="${2:?--mode needs paced or unpaced}"
        shift 2
        ;;
    --case)
        cases+=("${2:?--case needs a, b or c}")
        shift 2
        ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "pacing.sh: unknown option '$1' (try --help)" >&2
        exit 2
        ;;
    esac
done
[ ${#cases[@]} -eq 0 ] && cases=(a b c)
[ -z "$baud" ] && { [ $quick = 1 ] && baud=9600 || baud=1200; }
command -v python3 >/dev/null || {
    echo "pacing.sh: python3 is needed to read the simulator's report" >&2
    exit 1
}

echo "pacing.sh: building in $build" >&2
[ -f "$build/build.ninja" ] || cmake -S "$top" -B "$build" -G Ninja -DPKTGATE_WERROR=ON >/dev/null
cmake --build "$build" --target pktgate pktgate-sim -- -j2 >/dev/null
gateway="$build/pktgate"
sim="$build/tools/pktgate-sim"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
paceable=0

if "$gateway" --help 2>&1 | grep -q -- '--max-outstanding'; then
    modes=(paced unpaced)
    paceable=1
else
    modes=(unpaced)
    echo "note: this gateway has no --max-outstanding: it cannot be paced, so every case runs" \
        "once, unpaced (the gateway as it is)"
fi

case "$only_mode" in
"") ;;
paced | unpaced) [ $paceable = 1 ] && modes=("$only_mode") ;;
*)
    echo "pacing.sh: --mode: '$only_mode' is neither paced nor unpaced" >&2
    exit 2
    ;;
esac

runs="$(mktemp -d /tmp/pktgate-pacing-XXXXXX)"
sim_pid=""
gw_pid=""
cleanup() {
    [ -n "$gw_pid" ] && kill "$gw_pid" 2>/dev/null && wait "$gw_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    if [ "${KEEP:-0}" = 1 ]; then echo "pacing.sh: runs kept in $runs" >&2; else rm -rf "$runs"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cpu_ticks() { # utime + stime of a process, in clock ticks
    awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0
}
cpu_ns() { # nanoseconds on a core of the process's threads now running (finer than the ticks)
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'
}

# run NAME MODE SIMULATOR-OPTIONS...: one run; leaves $runs/NAME-MODE/{report.json,cpu}
run() {
    local name="$1" mode="$2"
    shift 2
    local dir="$runs/$name-$mode"
    mkdir -p "$dir"
    local args=(--agw-port 0 --node-port 0 --quiet --baud "$baud" --node-send-buffer "$send_buffer"
        --report "$dir/report.json" "$@")
    echo "pacing.sh: ($name) $mode: pktgate-sim ${args[*]}" >&2
    "$sim" "${args[@]}" >"$dir/sim.out" 2>&1 &
    sim_pid=$!
    local agw="" node=""
    for _ in $(seq 100); do
        agw="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out" 2>/dev/null)"
        node="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$dir/sim.out" 2>/dev/null)"
        [ -n "$agw" ] && [ -n "$node" ] && break
        sleep 0.1
    done
    if [ -z "$agw" ] || [ -z "$node" ]; then
        cat "$dir/sim.out" >&2
        echo "pacing.sh: the simulator did not start" >&2
        exit 1
    fi
    printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port","%s"\r\n' "$agw" \
        >"$dir/pktgate.cfg"
    printf '"Winsock IP","127.0.0.1"\r\n"Winsock Port","%s"\r\n"Packet Length",128\r\n' "$node" \
        >>"$dir/pktgate.cfg"
    printf '"Keep Alive",0\r\n' >>"$dir/pktgate.cfg"
    local gw_args=(--headless --dir "$dir")
    [ "$mode" = unpaced ] && [ $paceable = 1 ] && gw_args+=(--max-outstanding 0)
    echo "pacing.sh: ($name) $mode: pktgate ${gw_args[*]}" >&2
    "$gateway" "${gw_args[@]}" >"$dir/gateway.out" 2>&1 &
    gw_pid=$!
    local t0 c0 n0
    t0="$(date +%s.%N)"
    c0="$(cpu_ticks "$gw_pid")"
    n0="$(cpu_ns "$gw_pid")"
    wait "$sim_pid" || true
    sim_pid=""
    local t1 c1 n1
    t1="$(date +%s.%N)"
    c1="$(cpu_ticks "$gw_pid")"
    n1="$(cpu_ns "$gw_pid")"
    kill "$gw_pid" 2>/dev/null || true
    wait "$gw_pid" 2>/dev/null || true
    gw_pid=""
    awk -v a="$c0" -v b="$c1" -v s="$t0" -v e="$t1" -v hz="$(getconf CLK_TCK)" \
        -v n0="$n0" -v n1="$n1" \
        'BEGIN { printf "%.6f %.6f\n", (b - a) / hz / (e - s), (n1 - n0) / 1e9 / (e - s) }' \
        >"$dir/cpu"
    [ -s "$dir/report.json" ] || {
        cat "$dir/sim.out" >&2
        echo "pacing.sh: no report from the simulator" >&2
        exit 1
    }
}

# figures CASE: one line per figure and mode, read from the runs' reports
figures() {
    python3 - "$1" "$runs" "${modes[@]}" <<'EOF'
import json, sys
case, runs, modes = sys.argv[1], sys.argv[2], sys.argv[3:]
rep = {m: json.load(open(f"{runs}/{case}-{m}/report.json")) for m in modes}
cpu, sched = {}, {}
for m in modes:
    cpu[m], sched[m] = (float(x) for x in open(f"{runs}/{case}-{m}/cpu").read().split())
def sessions(m): return rep[m]["sessions"]
def out(m, what, value): print(f"({case}) {m}: {what}: {value}")
for m in modes:
    s = sessions(m)
    if case == "a":
        u = s[0] if s else {}
        out(m, "frames held in the engine for the user, max", u.get("max_outstanding", "-"))
        out(m, "Y requests per second", f'{u.get("polls_per_s", 0):.2f}')
        out(m, "node's writes blocked",
            f'after {u["blocked_after_s"]:.2f} s with {u["held_at_block"]:.0f} bytes written and not at the engine'
            f' ({u["to_system_at_block"]:.0f} taken by the system)'
            if "blocked_after_s" in u else "never")
        out(m, "text at the user", f'{u.get("text", "-")} ({u.get("bytes_aired", 0):.0f} of {u.get("bytes_written", 0):.0f} bytes)')
        out(m, "first node write to the last frame aired", f'{u.get("aired_in_s", 0):.1f} s')
        out(m, "node write to the first frame at the engine, p50 / p99",
            f'{rep[m]["latency_ms_p50"]:.2f} / {rep[m]["latency_ms_p99"]:.2f} ms')
    elif case == "b":
        first = [x for x in s if x["session"] == 1]
        again = [x for x in s if x["session"] == 2]
        if first and "left_to_node_closed_ms" in first[0]:
            out(m, "user's \"d\" to the node's connection closed", f'{first[0]["left_to_node_closed_ms"]:.1f} ms')
        else:
            out(m, "user's \"d\" to the node's connection closed", "not seen")
        out(m, "frames held in the engine before the \"d\", max", first[0]["max_outstanding"] if first else "-")
        if again:
            t = again[0]["text"]
            out(m, "the reconnected session's text",
                ("no text of the old session" if not t.startswith("wrong") else "WRONG: " + t)
                + f' ({again[0]["bytes_aired"]:.0f} bytes aired, {t})')
        else:
            out(m, "the reconnected session's text", "no second session")
        out(m, "frames for a user not connected (dropped by the engine)", f'{rep[m].get("frames_dropped", 0):.0f}')
    else:
        busy = [x for x in s if x["spot_writes"] > 0]
        idle = [x for x in s if x["spot_writes"] == 0]
        out(m, "users with spots / idle", f"{len(busy)} / {len(idle)}")
        out(m, "gateway CPU share of a core, utime+stime / its threads' schedstat",
            f"{cpu[m] * 100:.2f} % / {sched[m] * 100:.2f} %")
        out(m, "node write to the first frame at the engine, p50 / p99",
            f'{rep[m]["latency_ms_p50"]:.2f} / {rep[m]["latency_ms_p99"]:.2f} ms')
        mean = lambda xs: sum(xs) / len(xs) if xs else 0
        out(m, "Y requests per second per busy user, mean / max",
            f'{mean([x["polls_per_s"] for x in busy]):.2f} / {max([x["polls_per_s"] for x in busy], default=0):.2f}')
        out(m, "Y requests per second per idle user, mean / max",
            f'{mean([x["polls_per_s"] for x in idle]):.2f} / {max([x["polls_per_s"] for x in idle], default=0):.2f}')
        out(m, "Y requests with nothing held for the user (idle polls)", f'{sum(x["idle_polls"] for x in s):.0f}')
        out(m, "frames held in the engine per user, max", max([x["max_outstanding"] for x in s], default=0))
if len(modes) == 2:
    p, u = "paced", "unpaced"
    def ratio(a, b): return f"{a / b:.3f}" if b else "-"
    if case == "a":
        a, b = sessions(p)[0].get("aired_in_s", 0), sessions(u)[0].get("aired_in_s", 0)
        print(f"({case}) time to air it all, paced / unpaced: {ratio(a, b)} (target <= 1.05)")
    if case == "c":
        print(f"({case}) gateway CPU share, paced / unpaced: {ratio(sched[p], sched[u])} (schedstat; target <= 1.2)")
        print(f'({case}) p99 latency, paced / unpaced: {ratio(rep[p]["latency_ms_p99"], rep[u]["latency_ms_p99"])} (target <= 1.2)')
EOF
}

echo "# pacing.sh: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?'), $baud baud, node send buffer $([ "$send_buffer" = 0 ] && echo "the system's" || echo "$send_buffer bytes")$([ $quick = 1 ] && echo ', QUICK run')"
for c in "${cases[@]}"; do
    case "$c" in
    a)
        flood=16384 stream=209920
        [ $quick = 1 ] && flood=1638 stream=20992
        for m in "${modes[@]}"; do
            run a "$m" --users 1 --lines-per-user 0 --spot-rate 0 --flood-bytes $flood \
                --stream-bytes $stream --stream-seconds 60 --stop-when-aired --duration 7200
        done
        ;;
    b)
        flood=16384 stream=209920
        [ $quick = 1 ] && flood=1638 stream=20992
        for m in "${modes[@]}"; do
            run b "$m" --users 1 --lines-per-user 0 --spot-rate 0 --flood-bytes $flood \
                --stream-bytes $stream --stream-seconds 60 --leave-after 5 --rejoin-after 2 \
                --duration 20
        done
        ;;
    c)
        users=500 idle=50 secs=60
        [ $quick = 1 ] && users=100 idle=10 secs=20
        for m in "${modes[@]}"; do
            run c "$m" --users $((users + idle)) --spot-users $users --lines-per-user 0 \
                --spot-rate 0.3333 --duration $((secs + 5))
        done
        ;;
    *)
        echo "pacing.sh: unknown case '$c' (a, b or c)" >&2
        exit 2
        ;;
    esac
    figures "$c"
done
