#!/usr/bin/env bash
# Test of the arm64 (Raspberry Pi) Debian package on an amd64 Debian 12, under emulation:
#   1. cross-builds the package and its tests (scripts/package.sh --arch arm64) and checks the
#      package's architecture, its dependencies and that the gateway in it is an AArch64 program;
#   2. runs the arm64 unit tests that need no window (all but tst_gui_*) under qemu user-mode
#      emulation, with the arm64 libraries installed multiarch on this machine;
#   3. makes an arm64 Debian 12 root with mmdebstrap (its programs run under qemu through
#      binfmt_misc), installs the package into it with the root's own apt-get, which pulls the
#      arm64 Qt libraries the package depends on, and checks the installed files;
#   4. inside the root, runs the INSTALLED gateway through its launcher, offscreen, as nobody,
#      against the installed simulator: the registration and a user's login must reach the
#      simulator, SIGTERM must end it with exit code 0 and "Program terminated" in its error.log;
#   5. inside the root, runs the installed service's command line (headless, with the status
#      server through PKTGATE_OPTIONS): the users reach the node, /status.json shows the link and
#      the users, SIGTERM ends it with exit code 0.
# Needs no arm64 machine. Runs as root (or with sudo): it installs qemu-user-static,
# binfmt-support, arch-test and mmdebstrap when missing, mounts binfmt_misc when it is not
# mounted and enables the qemu-aarch64 entry. The root is made in a temporary directory and
# deleted at the end (PKTGATE_ARM64_ROOT=DIR keeps it in DIR and reuses it on the next run).
# Prints one line per check, the time each step took, and ends with "N passed, N failed".
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=PKTGATE_ARM64_ROOT bash "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive

passed=0
failed=0
step_start=$SECONDS
work="$(mktemp -d /tmp/pktgate-arm64.XXXXXX)"
chmod 755 "$work"
root="${PKTGATE_ARM64_ROOT:-$work/root}"
keep_root="${PKTGATE_ARM64_ROOT:+1}"
mounted=()
sim_pid=""
gw_pid=""

cleanup() {
    for pid in $gw_pid $sim_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    if [ -z "$keep_root" ]; then rm -rf --one-file-system "$work"; else rm -rf "$work"; fi
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

step_done() { # step_done NAME: prints how long the step took
    echo "package-test-arm64: $1 took $((SECONDS - step_start)) s"
    step_start=$SECONDS
}

finish() {
    echo "package-test-arm64: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

show() {
    echo "----- $1"
    cat "$1" 2>/dev/null || true
    echo "-----"
}

# --- the emulator -----------------------------------------------------------------------------
tools=(qemu-user-static binfmt-support arch-test mmdebstrap file dpkg-dev)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "package-test-arm64: installing ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" \
        >"$work/apt-tools.log" 2>&1 || {
        show "$work/apt-tools.log"
        exit 1
    }
fi
# arm64 programs started by other programs (the tests' QProcess, dpkg's maintainer scripts, the
# launcher's exec) reach qemu through the kernel's binfmt_misc.
if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
fi
if [ -e /proc/sys/fs/binfmt_misc/status ]; then
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
fi
binfmt=0
grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null && binfmt=1
check "arm64 programs run through qemu and binfmt_misc" test "$binfmt" = 1
step_done "setting up the emulator"

# --- the package ------------------------------------------------------------------------------
build="$top/build-pkg-arm64"
deb="$(bash "$top/scripts/package.sh" --arch arm64 "$build")"
echo "package-test-arm64: package $deb ($(stat -c %s "$deb") bytes)"
step_done "the cross-build (scripts/package.sh --arch arm64)"

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
check "architecture arm64" test "$(field Architecture)" = arm64
check "file name ends in _arm64.deb" test "${deb%_arm64.deb}" != "$deb"
check "section hamradio" test "$(field Section)" = hamradio
check "depends only on the C/C++ runtimes and Qt 6 Core, Network, Gui, Widgets, HTTP Server ($(field Depends))" \
    only_runtime_deps
dpkg-deb -x "$deb" "$work/content"
for f in usr/lib/pktgate/pktgate usr/lib/pktgate/pktgate-sim; do
    check "/$f is an AArch64 program" \
        sh -c "file -b '$work/content/$f' | grep -q 'ELF 64-bit LSB .*ARM aarch64'"
done

# --- the unit tests under emulation ------------------------------------------------------------
# Everything but the window tests (tst_gui_*) and two kinds of case that emulation cannot carry:
# - tst_program and tst_sim start the gateway and the simulator as programs of their own, and
#   QProcess starts a program with clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD), which Debian 12's
#   qemu-user refuses (EINVAL); steps 4 and 5 run the installed programs instead;
# - tst_faults::floodFromUnknownStations bounds how long a user's line takes through a flood
#   (250 ms), which an emulated CPU does not meet; the rest of tst_faults runs on its own below.
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -E '^(tst_gui_.*|tst_program|tst_sim|tst_faults)$' \
    -j2 --output-on-failure >"$work/ctest.log" 2>&1 || true
while read -r name result; do
    check "under qemu: $name" test "$result" = Passed
done < <(sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) \.*[ *]*\([A-Za-z]*\).*/\1 \2/p' \
    "$work/ctest.log")
check "under qemu: the unit tests ran" grep -q 'tests passed' "$work/ctest.log"
grep -q '% tests passed, 0 tests failed' "$work/ctest.log" || show "$work/ctest.log"
sed -n 's/^Total Test time (real) = *\(.*\)/package-test-arm64: ctest took \1/p' "$work/ctest.log"
faults="$build/tests/tst_faults"
mapfile -t functions < <(qemu-aarch64-static -L / "$faults" -functions 2>/dev/null |
    sed -n 's/^\([A-Za-z0-9_]*\)()$/\1/p' | grep -vx 'floodFromUnknownStations')
check "under qemu: tst_faults but its timing case (${#functions[@]} functions)" \
    sh -c "cd '$build/tests' && QT_QPA_PLATFORM=offscreen timeout 600 qemu-aarch64-static -L / \
        '$faults' ${functions[*]} >'$work/faults.log' 2>&1"
grep -q ' 0 failed' "$work/faults.log" || show "$work/faults.log"
step_done "the emulated unit tests"

if [ "$binfmt" != 1 ]; then
    echo "package-test-arm64: no binfmt_misc for arm64: the root cannot run its own apt and dpkg"
    finish
fi

# --- an arm64 Debian 12 root ------------------------------------------------------------------
# The root takes this machine's package sources.
if [ ! -x "$root/usr/bin/apt-get" ]; then
    sources=()
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -s "$f" ] && sources+=("$f")
    done
    if ! mmdebstrap --arch=arm64 --variant=apt bookworm "$root" "${sources[@]}" \
        >"$work/mmdebstrap.log" 2>&1; then
        show "$work/mmdebstrap.log"
        check "mmdebstrap makes an arm64 Debian 12 root" false
        finish
    fi
fi
check "mmdebstrap makes an arm64 Debian 12 root" test -x "$root/usr/bin/apt-get"
check "the root's programs are arm64 ones and run (chroot ROOT dpkg --print-architecture)" \
    test "$(chroot "$root" dpkg --print-architecture 2>/dev/null)" = arm64
step_done "making the arm64 root (mmdebstrap)"

for m in proc dev dev/pts; do
    mkdir -p "$root/$m"
    case "$m" in
    proc) mount -t proc proc "$root/proc" ;;
    *) mount --bind "/$m" "$root/$m" ;;
    esac
    mounted+=("$root/$m")
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# --- install into the root ----------------------------------------------------------------------
cp "$deb" "$root/tmp/pktgate_arm64.deb"
if ! chroot "$root" sh -c 'apt-get -q update && apt-get install -y -q /tmp/pktgate_arm64.deb' \
    >"$work/apt-install.log" 2>&1; then
    show "$work/apt-install.log"
    check "apt-get install of the package in the arm64 root" false
    finish
fi
check "apt-get install of the package in the arm64 root" true
check "the root's apt pulled the arm64 Qt libraries" \
    test "$(chroot "$root" dpkg-query -W -f='${Architecture}' libqt6core6 2>/dev/null)" = arm64
for f in /usr/bin/pktgate /usr/lib/pktgate/pktgate /usr/lib/pktgate/pktgate-sim; do
    check "installed: $f" test -x "$root$f"
done
for f in /usr/lib/pktgate/help.html /lib/systemd/system/pktgate.service \
    /usr/share/man/man1/pktgate.1; do
    check "installed: $f" test -f "$root$f"
done
check "the installed gateway answers --help" \
    sh -c "chroot '$root' /usr/lib/pktgate/pktgate --help >'$work/help.out' 2>&1"
step_done "installing the package into the root"

# --- run the installed gateway in the root against the installed simulator ---------------------
# As nobody (the root's own), with a clean environment.
# A prefix, not a function: "${in_root[@]}" PROGRAM & leaves $! the program's own process (chroot
# and env exec it), which the signals must reach.
in_root=(chroot --userspec=65534:65534 --groups=65534 "$root" env -i PATH=/usr/bin:/bin)

wait_for() { # wait_for ERE SECONDS FILE
    for _ in $(seq $(($2 * 10))); do
        grep -qE "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

stop_gateway() { # SIGTERM, up to 20 s; the exit code goes to gw_rc
    gw_rc=none
    kill -TERM "$gw_pid" 2>/dev/null || return 0
    for _ in $(seq 200); do kill -0 "$gw_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$gw_pid" 2>/dev/null; then
        kill -KILL "$gw_pid" 2>/dev/null || true
        wait "$gw_pid" 2>/dev/null || true
    else
        gw_rc=0
        wait "$gw_pid" || gw_rc=$?
    fi
    gw_pid=""
}

stop_sim() {
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
}

start_sim() { # start_sim OUTPUT [OPTION...]: sets agw_port and node_port
    local out="$1"
    shift
    "${in_root[@]}" /usr/lib/pktgate/pktgate-sim --agw-port 0 --node-port 0 "$@" >"$out" 2>&1 &
    sim_pid=$!
    wait_for 'cluster node on' 30 "$out" || true
    agw_port="$(sed -n 's/.*AGW engine on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")"
    node_port="$(sed -n 's/.*cluster node on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")"
}

write_cfg() { # write_cfg FILE AGW_PORT NODE_PORT
    printf '"Cluster Call","GB7TC"\r\n"AGW IP","127.0.0.1"\r\n"AGW Port","%s"\r\n' "$2" >"$1"
    printf '"Winsock IP","127.0.0.1"\r\n"Winsock Port","%s"\r\n"Packet Length",234\r\n' "$3" >>"$1"
    printf '"Keep Alive",0\r\n' >>"$1"
    chown 65534:65534 "$1"
}

# Paths as the root sees them, and as this machine sees them.
rwork=/tmp/pktgate-run
hwork="$root$rwork"
rm -rf "$hwork"
mkdir -p "$hwork/home/.local/share/pktgate" "$hwork/run" "$hwork/state/pktgate"
chmod 700 "$hwork/run"
chown -R 65534:65534 "$hwork"
inst="$hwork/home/.local/share/pktgate"

start_sim "$work/sim.out"
if [ -z "$agw_port" ] || [ -z "$node_port" ]; then
    show "$work/sim.out"
    check "the installed simulator starts in the root" false
    finish
fi
check "the installed simulator starts in the root" true
write_cfg "$inst/pktgate.cfg" "$agw_port" "$node_port"
echo "package-test-arm64: simulator on ports $agw_port (engine) and $node_port (node)"

"${in_root[@]}" HOME="$rwork/home" XDG_RUNTIME_DIR="$rwork/run" QT_QPA_PLATFORM=offscreen pktgate \
    >"$work/gw.out" 2>&1 &
gw_pid=$!
check "the registration reached the simulator" \
    wait_for 'engine: gateway registered GB7TC' 60 "$work/sim.out"
check "a simulated user logged in at the node through the gateway" \
    wait_for 'node: [A-Z0-9]+ logged in' 60 "$work/sim.out"
sleep 2
check "the gateway still runs after some traffic" kill -0 "$gw_pid"
stop_gateway
check "SIGTERM ends the gateway with exit code 0 (got $gw_rc)" test "$gw_rc" = 0
check "error.log in the instance directory: Program Started" \
    grep -q ' Program Started ' "$inst/error.log"
check "error.log in the instance directory: Program terminated" \
    grep -q ' Program terminated ' "$inst/error.log"
stop_sim
frames_in="$(sed -n 's/^pktgate-sim summary: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")"
check "the simulator counted frames from the gateway (${frames_in:-none})" \
    test "${frames_in:-0}" -ge 1
if [ "$failed" -gt 0 ]; then
    show "$work/sim.out"
    show "$work/gw.out"
    show "$inst/error.log"
fi

# --- the installed service's command line in the root: headless, with the status server ---------
exec_start="$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/pktgate.service")"
check "the service runs the gateway headless ($exec_start)" \
    grep -q -- '--headless --dir %S/pktgate $PKTGATE_OPTIONS' <<<"$exec_start"
start_sim "$work/sim2.out" --users 2 --lines-per-user 0
write_cfg "$hwork/state/pktgate/pktgate.cfg" "${agw_port:-1}" "${node_port:-1}"
service_cmd=()
for word in ${exec_start//%S/$rwork/state}; do
    if [ "$word" = '$PKTGATE_OPTIONS' ]; then
        service_cmd+=(--status 127.0.0.1:0)
    else
        service_cmd+=("$word")
    fi
done
"${in_root[@]}" "${service_cmd[@]}" >"$work/service.out" 2>"$work/service.err" &
gw_pid=$!
check "the service's gateway logs to standard error (the journal)" \
    wait_for ' Program Started ' 30 "$work/service.err"
wait_for 'status page on' 30 "$work/service.err" || true
status_port="$(sed -n 's|.*status page on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/service.err")"
check "the service's gateway announces its status page (${status_port:-none})" test -n "$status_port"
check "the simulated users logged in at the node through the service's gateway" \
    wait_for 'node: SIM2 logged in' 60 "$work/sim2.out"
status_json() {
    exec 3<>"/dev/tcp/127.0.0.1/$status_port" || return 1
    printf 'GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    timeout 5 cat <&3 >"$work/status.json" || true
    exec 3<&-
}
[ -n "$status_port" ] && status_json || true
check "/status.json: the link is connected" grep -q '"state":"connected"' "$work/status.json"
check "/status.json: the registered callsign" grep -q '"callsign":"GB7TC"' "$work/status.json"
check "/status.json: the users with their radio ports" grep -q '"users":\[{' "$work/status.json"
stop_gateway
check "SIGTERM ends the service's gateway with exit code 0 (got $gw_rc)" test "$gw_rc" = 0
check "the service's error.log ends with Program terminated" \
    sh -c "tail -n 1 '$hwork/state/pktgate/error.log' | grep -q ' Program terminated '"
stop_sim
if [ "$failed" -gt 0 ]; then
    show "$work/sim2.out"
    show "$work/service.err"
    show "$work/status.json"
fi
step_done "running the installed gateway in the root"

# Leaves a kept root as it was made: without the package.
if [ -n "$keep_root" ]; then
    chroot "$root" apt-get remove -y -q pktgate >/dev/null 2>&1 || true
    rm -rf "$hwork" "$root/tmp/pktgate_arm64.deb"
fi
finish
