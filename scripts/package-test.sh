#!/usr/bin/env bash
# Install test of the Debian package, on this machine:
#   1. builds the package (scripts/package.sh) and checks its section and dependencies;
#   2. installs it with apt-get and checks the installed files;
#   3. runs the INSTALLED gateway through its launcher, as an ordinary user (nobody, when this
#      script runs as root) against the simulator pktgate-sim on free ports: first --probe,
#      which must find both peers and write nothing, then offscreen, where the registration
#      must reach the simulator's engine and a simulated user must be logged in at its node;
#      then SIGTERM must end the gateway with exit code 0 and "Program terminated"
#      in the error.log of the user's instance directory;
#   4. runs the installed service's command line (its ExecStart, headless, with the status
#      server added through PKTGATE_OPTIONS) the same way: the users reach the node, the log
#      reaches standard error, /status.json shows the link and the users, SIGTERM ends it;
#   5. checks the launcher: $PKTGATE_HOME, no copy of the gateway made, refusing a directory it
#      cannot write to;
#   6. removes the package (apt-get remove).
# Runs as root or with sudo; refuses to run when a pktgate package is already installed.
# Prints one line per check and ends with "N passed, N failed".
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f='${Status}' pktgate 2>/dev/null | grep -q "install ok installed"; then
    echo "package-test: a pktgate package is installed already; remove it first" >&2
    exit 1
fi

deb="$(bash "$top/scripts/package.sh")"
echo "package-test: package $deb"

# Under /tmp, so that the unprivileged user can reach it whatever TMPDIR says.
work="$(mktemp -d /tmp/pktgate-test.XXXXXX)"
chmod 755 "$work"
passed=0
failed=0
installed=0
sim_pid=""
gw_pid=""

cleanup() {
    for pid in $gw_pid $sim_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    if [ "$installed" = 1 ]; then $SUDO apt-get remove -y -q pktgate >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

check() { # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@"; then
        echo "ok - $what"
        passed=$((passed + 1))
    else
        echo "FAILED - $what"
        failed=$((failed + 1))
    fi
}

finish() {
    echo "package-test: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

# Shows a file's content after a failure, for the CI log.
show() {
    echo "----- $1"
    cat "$1" 2>/dev/null || true
    echo "-----"
}

# --- the package ------------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
only_runtime_deps() {
    local names
    names="$(field Depends | tr ',' '\n' | sed -e 's/(.*)//' -e 's/|.*//' -e 's/ //g' | sort -u)"
    echo "$names" | grep -qx libqt6core6 && echo "$names" | grep -qx libqt6network6 &&
        echo "$names" | grep -qx libqt6gui6 && echo "$names" | grep -qx libqt6widgets6 &&
        echo "$names" | grep -qx libqt6httpserver6 &&
        ! echo "$names" |
        grep -vxE 'libc6|libgcc-s1|libstdc\+\+6|libqt6(core|network|gui|widgets|httpserver|websockets)6'
}
check "section hamradio" test "$(field Section)" = hamradio
check "depends only on the C/C++ runtimes and Qt 6 Core, Network, Gui, Widgets, HTTP Server ($(field Depends))" \
    only_runtime_deps

# --- install ----------------------------------------------------------------------------------
if ! $SUDO apt-get install -y -q "$deb" >"$work/apt-install.log" 2>&1; then
    show "$work/apt-install.log"
    check "apt-get install of the package" false
    finish
fi
installed=1
check "apt-get install of the package" true

for f in /usr/bin/pktgate /usr/lib/pktgate/pktgate /usr/lib/pktgate/pktgate-sim; do
    check "installed: $f" test -x "$f"
done
for f in /usr/lib/pktgate/help.html /usr/share/applications/pktgate.desktop \
    /usr/share/icons/hicolor/scalable/apps/pktgate.svg /lib/systemd/system/pktgate.service \
    /usr/share/doc/pktgate/USER_GUIDE.md /usr/share/doc/pktgate/copyright \
    /usr/share/doc/pktgate/changelog.gz /usr/share/man/man1/pktgate.1.gz; do
    check "installed: $f" test -f "$f"
done
if command -v desktop-file-validate >/dev/null 2>&1; then
    check "desktop entry valid" desktop-file-validate /usr/share/applications/pktgate.desktop
fi
if command -v systemd-analyze >/dev/null 2>&1; then
    check "systemd unit valid" systemd-analyze verify /lib/systemd/system/pktgate.service
fi

# --- run the installed gateway against the simulator -------------------------------------------
runner=()
user_name="$(id -un)"
if [ "$(id -u)" -eq 0 ]; then
    user_name=nobody
    runner=(setpriv --reuid=nobody --regid="$(id -gn nobody)" --clear-groups)
fi
home="$work/home"
inst="$home/.local/share/pktgate"
mkdir -p "$inst" "$work/run"
chmod 700 "$work/run"
[ "$(id -u)" -eq 0 ] && chown -R nobody:"$(id -gn nobody)" "$home" "$work/run"

# Runs the installed launcher as the unprivileged user, offscreen, in the background.
start_gateway() { # start_gateway OUTPUT [VAR=value...]
    local out="$1"
    shift
    env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen \
        "$@" ${runner[@]+"${runner[@]}"} pktgate >"$out" 2>&1 &
    gw_pid=$!
}

# Waits up to $2 seconds for the extended regular expression $1 in file $3.
wait_for() {
    for _ in $(seq $(($2 * 10))); do
        grep -qE "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Sends SIGTERM to the gateway and waits up to 10 s for it; its exit code is in gw_rc.
stop_gateway() {
    gw_rc=none
    kill -TERM "$gw_pid" 2>/dev/null || return 0
    for _ in $(seq 100); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$gw_pid" 2>/dev/null; then
        kill -KILL "$gw_pid" 2>/dev/null || true
        wait "$gw_pid" 2>/dev/null || true
    else
        gw_rc=0
        wait "$gw_pid" || gw_rc=$?
    fi
    gw_pid=""
}

# Settings for engine and node on the given ports, as the gateway itself writes them.
write_cfg() { # write_cfg FILE AGW_PORT NODE_PORT
    printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port","%s"\r\n' "$2" >"$1"
    printf '"Winsock IP","127.0.0.1"\r\n"Winsock Port","%s"\r\n"Packet Length",234\r\n' "$3" >>"$1"
    printf '"Keep Alive",0\r\n' >>"$1"
    [ "$(id -u)" -eq 0 ] && chown nobody "$1"
    return 0
}

/usr/lib/pktgate/pktgate-sim --agw-port 0 --node-port 0 >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for 'cluster node on' 10 "$work/sim.out" || true
agw_port="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")"
node_port="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")"
if [ -z "$agw_port" ] || [ -z "$node_port" ]; then
    show "$work/sim.out"
    check "the installed simulator starts" false
    finish
fi
write_cfg "$inst/pktgate.cfg" "$agw_port" "$node_port"
echo "package-test: simulator on ports $agw_port (engine) and $node_port (node);" \
    "gateway runs as $user_name in $inst"

# The probe through the launcher, before the first start: both peers answer, nothing is written.
probe_rc=0
env -i PATH=/usr/bin:/bin HOME="$home" ${runner[@]+"${runner[@]}"} pktgate --probe \
    >"$work/probe.out" 2>&1 || probe_rc=$?
check "pktgate --probe: exit code 0 (got $probe_rc)" test "$probe_rc" = 0
check "pktgate --probe: the engine's version and radio ports" \
    grep -q "^engine 127.0.0.1:$agw_port: AGW version .* 1 radio port" "$work/probe.out"
check "pktgate --probe: the node" grep -q "^node 127.0.0.1:$node_port: " "$work/probe.out"
check "pktgate --probe: no error.log written" test ! -e "$inst/error.log"

start_gateway "$work/gw.out"
check "the registration reached the simulator" wait_for 'engine: gateway registered GB7TC' 20 \
    "$work/sim.out"
check "a simulated user logged in at the node through the gateway" \
    wait_for 'node: [A-Z0-9]+ logged in' 20 "$work/sim.out"
sleep 1
check "the gateway still runs after some traffic" kill -0 "$gw_pid"
stop_gateway
check "SIGTERM ends the gateway with exit code 0 (got $gw_rc)" test "$gw_rc" = 0
check "error.log in the instance directory: Program Started" \
    grep -q ' Program Started ' "$inst/error.log"
check "error.log in the instance directory: Program terminated" \
    grep -q ' Program terminated ' "$inst/error.log"
check "nothing written beside the installed executable" test ! -e /usr/lib/pktgate/error.log
check "the launcher copied nothing into the instance directory" \
    test ! -e "$inst/pktgate" -a ! -e "$inst/help.html"

kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
frames_in="$(sed -n 's/^pktgate-sim summary: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")"
check "the simulator counted frames from the gateway (${frames_in:-none})" \
    test "${frames_in:-0}" -ge 1
if [ "$failed" -gt 0 ]; then
    show "$work/sim.out"
    show "$work/gw.out"
    show "$inst/error.log"
fi

# --- the installed service's command line: headless, with the status server ---------------------
unit=/lib/systemd/system/pktgate.service
exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
check "the service runs the gateway headless ($exec_start)" \
    grep -q -- '--headless --dir %S/pktgate $PKTGATE_OPTIONS' <<<"$exec_start"
check "the service needs no window system" test -z "$(grep -E 'QT_QPA_PLATFORM|DISPLAY' "$unit")"
state="$work/state"
mkdir -p "$state/pktgate"
# A simulator of its own, with two load users who stay.
/usr/lib/pktgate/pktgate-sim --agw-port 0 --node-port 0 --users 2 --lines-per-user 0 \
    >"$work/sim2.out" 2>&1 &
sim_pid=$!
wait_for 'cluster node on' 10 "$work/sim2.out" || true
agw_port2="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim2.out")"
node_port2="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim2.out")"
write_cfg "$state/pktgate/pktgate.cfg" "${agw_port2:-1}" "${node_port2:-1}"
[ "$(id -u)" -eq 0 ] && chown -R nobody "$state"
cp "$state/pktgate/pktgate.cfg" "$work/service.cfg"
# ExecStart as systemd runs it: %S is the state directory, and $PKTGATE_OPTIONS (as set with
# "systemctl edit") is split into words.
service_cmd=()
for word in ${exec_start//%S/$state}; do
    if [ "$word" = '$PKTGATE_OPTIONS' ]; then
        service_cmd+=(--status 127.0.0.1:0)
    else
        service_cmd+=("$word")
    fi
done
env -i PATH=/usr/bin:/bin ${runner[@]+"${runner[@]}"} "${service_cmd[@]}" \
    >"$work/service.out" 2>"$work/service.err" &
gw_pid=$!
check "the service's gateway logs to standard error (the journal)" \
    wait_for ' Program Started ' 10 "$work/service.err"
status_port="$(sed -n 's|.*status page on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/service.err")"
check "the service's gateway announces its status page (${status_port:-none})" test -n "$status_port"
check "the simulated users logged in at the node through the service's gateway" \
    wait_for 'node: SIM2 logged in' 20 "$work/sim2.out"
# /status.json with bash's own TCP client; the server may keep the connection open, so read a while.
status_json() {
    exec 3<>"/dev/tcp/127.0.0.1/$status_port" || return 1
    printf 'GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    timeout 2 cat <&3 >"$work/status.json" || true
    exec 3<&-
}
status_json || true
check "/status.json: the link is connected" grep -q '"state":"connected"' "$work/status.json"
check "/status.json: the registered callsign" grep -q '"callsign":"GB7TC"' "$work/status.json"
check "/status.json: the users with their radio ports" grep -q '"users":\[{' "$work/status.json"
stop_gateway
check "SIGTERM ends the service's gateway with exit code 0 (got $gw_rc)" test "$gw_rc" = 0
check "the service's error.log ends with Program terminated" \
    sh -c "tail -n 1 '$state/pktgate/error.log' | grep -q ' Program terminated '"
check "the service's pktgate.cfg is left as it was" cmp -s "$work/service.cfg" "$state/pktgate/pktgate.cfg"
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
if [ "$failed" -gt 0 ]; then
    show "$work/sim2.out"
    show "$work/service.err"
    show "$work/status.json"
fi

# --- the launcher: another instance directory, an old copy, an unwritable directory -------------
svc="$work/svc"
mkdir -p "$svc"
# What an older launcher left: a copy of the gateway, which is no longer run.
echo "stale copy" >"$svc/pktgate"
chmod 755 "$svc/pktgate"
# The simulator has ended: its ports are closed now, so this gateway runs without peers.
write_cfg "$svc/pktgate.cfg" "$agw_port" "$node_port"
[ "$(id -u)" -eq 0 ] && chown -R nobody "$svc"
# PKTGATE_HOME relative to the working directory.
cd "$work"
start_gateway "$work/gw2.out" PKTGATE_HOME=svc
check "PKTGATE_HOME (relative): the gateway starts in that directory" \
    wait_for ' Program Started ' 10 "$svc/error.log"
stop_gateway
check "PKTGATE_HOME: SIGTERM ends it with exit code 0 (got $gw_rc)" test "$gw_rc" = 0
check "an old copy of the gateway is neither run nor replaced" grep -q "stale copy" "$svc/pktgate"
check "the first instance directory was not touched" \
    test "$(grep -c ' Program Started ' "$inst/error.log")" = 1

refused=0
env -i PATH=/usr/bin:/bin HOME="$home" PKTGATE_HOME=/usr/lib/pktgate/instance \
    ${runner[@]+"${runner[@]}"} pktgate >"$work/gw3.out" 2>&1 || refused=$?
check "an unwritable instance directory is refused with a message" \
    grep -q "cannot write" "$work/gw3.out"
check "... and exit code 1 (got $refused)" test "$refused" = 1

# --- remove -----------------------------------------------------------------------------------
$SUDO apt-get remove -y -q pktgate >"$work/apt-remove.log" 2>&1 || show "$work/apt-remove.log"
installed=0
check "apt-get remove takes the launcher away" test ! -e /usr/bin/pktgate
check "apt-get remove takes the gateway away" test ! -e /usr/lib/pktgate/pktgate
check "the user's instance directory is kept" test -f "$inst/pktgate.cfg"

finish
