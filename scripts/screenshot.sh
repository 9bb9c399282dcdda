#!/usr/bin/env bash
# Takes a screenshot of the running gateway on a virtual X display and writes docs/screenshot.png.
#
# Builds pktgate (and the simulator pktgate-sim, when the tree has it) if needed, copies the
# gateway with its help page into a temporary directory (so that its pktgate.cfg and error.log go
# there, not into the build tree), starts it under xvfb-run, waits a few seconds and photographs
# the display, then ends it with SIGTERM as a service manager would.
#
# With the simulator, the gateway is pointed at a simulated packet engine and cluster node on
# free ports of 127.0.0.1, so the picture shows demo users' traffic. Without it, nothing listens
# on the AGW port and the picture shows the window after a failed connection (yellow).
#
# The window is drawn with the fonts of fonts-dejavu-core only (which the package recommends and a
# stock Debian desktop has), with the system's font rules, so that the picture shows what a sysop
# sees without any other font installed: no empty boxes.
#
# Usage: scripts/screenshot.sh [output.png]
#   BUILD_DIR=...   build directory (default: build)
#   NO_SIM=1        do not use the simulator
#   FONT_DIR=...    the only font directory fontconfig sees instead (default: the files of
#                   fonts-dejavu-core); empty: every font of the system
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
OUT="${1:-$ROOT/docs/screenshot.png}"

need=()
command -v xvfb-run >/dev/null 2>&1 || need+=(xvfb)
command -v import >/dev/null 2>&1 || need+=(imagemagick)
if [ -z "${FONT_DIR+set}" ]; then
    dpkg-query -W -f='${Status}' fonts-dejavu-core 2>/dev/null | grep -q "install ok installed" ||
        need+=(fonts-dejavu-core)
fi
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v c++ >/dev/null 2>&1 || need+=(g++)
[ -d /usr/include/x86_64-linux-gnu/qt6/QtWidgets ] || [ -d /usr/include/qt6/QtWidgets ] ||
    need+=(qt6-base-dev libgl-dev)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "screenshot.sh: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    echo "screenshot.sh: installing ${need[*]} with apt-get (as root)"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi

use_sim=0
if [ -z "${NO_SIM:-}" ] && [ -f "$ROOT/tools/CMakeLists.txt" ]; then use_sim=1; fi

if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    echo "screenshot.sh: configuring $BUILD_DIR"
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja
fi
targets=(pktgate)
[ $use_sim = 1 ] && targets+=(pktgate-sim)
echo "screenshot.sh: building ${targets[*]}"
cmake --build "$BUILD_DIR" --target "${targets[@]}" -j 2 >/dev/null

RUN_DIR="$(mktemp -d)"
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$RUN_DIR"
}
trap cleanup EXIT
cp "$BUILD_DIR/pktgate" "$RUN_DIR/"
cp "$ROOT/docs/help.html" "$RUN_DIR/"

wait_s=2
if [ $use_sim = 1 ]; then
    # Free ports chosen by the system; the simulator prints them as it starts.
    "$BUILD_DIR/tools/pktgate-sim" --agw-port 0 --node-port 0 >"$RUN_DIR/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do
        grep -q 'cluster node on' "$RUN_DIR/sim.log" 2>/dev/null && break
        sleep 0.1
    done
    agw_port="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$RUN_DIR/sim.log")"
    node_port="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$RUN_DIR/sim.log")"
    if [ -z "$agw_port" ] || [ -z "$node_port" ]; then
        echo "screenshot.sh: the simulator did not start:" >&2
        cat "$RUN_DIR/sim.log" >&2
        exit 1
    fi
    printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port",%s\r\n' "$agw_port" \
        >"$RUN_DIR/pktgate.cfg"
    printf '"Winsock IP","127.0.0.1"\r\n"Winsock Port",%s\r\n"Packet Length",234\r\n' \
        "$node_port" >>"$RUN_DIR/pktgate.cfg"
    printf '"Keep Alive",0\r\n' >>"$RUN_DIR/pktgate.cfg"
    echo "screenshot.sh: simulator on ports $agw_port (engine) and $node_port (node)"
    wait_s=6
fi

if [ -z "${FONT_DIR+set}" ]; then
    FONT_DIR="$RUN_DIR/fonts"
    mkdir "$FONT_DIR"
    dpkg-query -L fonts-dejavu-core | grep -E '\.ttf$' | xargs ln -s -t "$FONT_DIR"
fi
if [ -n "$FONT_DIR" ]; then
    # One font directory, and the system's rules (aliases such as Arial -> a sans-serif face).
    cat >"$RUN_DIR/fonts.conf" <<FONTS
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$FONT_DIR</dir>
  <cachedir>$RUN_DIR/fontcache</cachedir>
  <include ignore_missing="yes">/etc/fonts/conf.d</include>
</fontconfig>
FONTS
    export FONTCONFIG_FILE="$RUN_DIR/fonts.conf"
    echo "screenshot.sh: fonts seen: $(fc-list : family style | sort -u | paste -sd '|' -)"
fi

# Inside the virtual display: start the gateway, let it work, photograph the screen, then end it
# the way a service manager would (SIGTERM).
cat >"$RUN_DIR/shoot.sh" <<'INNER'
#!/usr/bin/env bash
set -eu
"$1/pktgate" &
pid=$!
sleep "$3"
import -window root "$2"
kill -TERM "$pid"
wait "$pid"
INNER
chmod +x "$RUN_DIR/shoot.sh"

mkdir -p "$(dirname "$OUT")"
xvfb-run -a -s "-screen 0 880x660x24" "$RUN_DIR/shoot.sh" "$RUN_DIR" "$OUT" "$wait_s"
# 64 colours are plenty for a window of flat colours, and keep the picture small.
convert "$OUT" -strip -colors 64 -define png:compression-level=9 "$OUT"
echo "screenshot.sh: wrote $OUT ($(stat -c %s "$OUT") bytes)"
