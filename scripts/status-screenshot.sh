#!/usr/bin/env bash
# Takes a screenshot of the status page in headless Chromium and writes docs/status-page.png.
#
# Builds the gateway and the simulator when needed (scripts/build.sh), starts the simulator with an
# engine of two radio ports and a few load users who stay and talk slowly, then the gateway
# headless with its status server on a free port of 127.0.0.1 (its files in a
# temporary directory), waits until the users are logged in and photographs http://.../ with
# Debian's chromium (installed with apt-get when missing, which needs root). Ends both with
# SIGTERM. Not part of the test suite: the picture is for the README and the user guide.
#
# Usage: scripts/status-screenshot.sh [output.png]
#   BUILD_DIR=...   build directory (default: build)
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$top/build}"
out="${1:-$top/docs/status-page.png}"

bash "$top/scripts/setup-deps.sh" chromium
[ -x "$build/pktgate" ] && [ -x "$build/tools/pktgate-sim" ] || bash "$top/scripts/build.sh" "$build"

work="$(mktemp -d /tmp/pktgate-status-shot.XXXXXX)"
sim_pid=""
gw_pid=""
cleanup() {
    for pid in $gw_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # wait_for REGEX SECONDS FILE
    for _ in $(seq $(($2 * 10))); do
        grep -qE "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "status-screenshot: no '$1' in $3 after $2 s" >&2
    cat "$3" >&2
    return 1
}

"$build/tools/pktgate-sim" --agw-port 0 --node-port 0 --ports 2 --users 6 \
    --lines-per-user 100000 --rate 3 --spot-rate 0.5 --quiet >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for 'cluster node on' 10 "$work/sim.out"
agw="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")"
node="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")"
printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port","%s"\r\n' "$agw" \
    >"$work/pktgate.cfg"
printf '"Winsock IP","127.0.0.1"\r\n"Winsock Port","%s"\r\n"Packet Length",128\r\n' "$node" \
    >>"$work/pktgate.cfg"
printf '"Keep Alive",5\r\n' >>"$work/pktgate.cfg"

"$build/pktgate" --headless --dir "$work" --status 127.0.0.1:0 2>"$work/gw.err" &
gw_pid=$!
wait_for 'status page on http://' 10 "$work/gw.err"
url="$(sed -n 's|.*status page on \(http://[^ ]*/\).*|\1|p' "$work/gw.err")"
port="$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/gw.err")"
# Users logged in at the node, from /status.json (bash's own TCP client; the server may keep the
# connection open, so each read is cut after a second).
logged_in() {
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 0
    printf 'GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3
    timeout 1 cat <&3 | grep -o '"node_state":"logged in"' | wc -l || true
    exec 3<&-
}
for _ in $(seq 20); do
    [ "$(logged_in)" -ge 6 ] && break
done
# A few lines relayed both ways.
sleep 4

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/chromium" --hide-scrollbars --window-size=1000,1000 \
    --screenshot="$out" "$url" >"$work/chromium.out" 2>&1 || {
    cat "$work/chromium.out" >&2
    exit 1
}
echo "status-screenshot: wrote $out"
