#!/usr/bin/env bash
# Builds the Debian package of pktgate with CPack and prints the path of the .deb on stdout
# (everything else goes to stderr, so that deb="$(scripts/package.sh)" works).
#   scripts/package.sh [build-dir]                  this machine's architecture, in build-pkg/
#   scripts/package.sh --arch arm64 [build-dir]     64-bit ARM (Raspberry Pi), in build-pkg-arm64/
# Release build with warnings as errors, prefix /usr (the systemd unit in /lib/systemd/system,
# as Debian 12 places units). Installs what is missing (dpkg-shlibdeps from dpkg-dev and file are
# needed to work out the package's dependencies).
# The native build leaves the tests out. The arm64 build is a cross-build on an amd64 Debian 12
# with Debian's own multiarch packages (the arm64 architecture is added to dpkg, then
# crossbuild-essential-arm64, Qt's arm64 development packages and the host's Qt tools are
# installed) and the toolchain file cmake/aarch64-linux-gnu.cmake; it builds the tests too, for
# scripts/package-test-arm64.sh to run under emulation.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
arch=""
if [ "${1:-}" = "--arch" ]; then
    arch="${2:?package.sh: --arch needs an architecture (arm64)}"
    shift 2
fi
native="$(dpkg --print-architecture)"
[ "$arch" = "$native" ] && arch=""
case "$arch" in
"") dir="${1:-$top/build-pkg}" ;;
arm64) dir="${1:-$top/build-pkg-arm64}" ;;
*)
    echo "package.sh: unknown architecture $arch (known: arm64, or this machine's $native)" >&2
    exit 2
    ;;
esac

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Installs the arm64 cross tools and libraries when any is missing.
setup_arm64() {
    # The host's qt6-base-dev carries the CMake package of the host tools (Qt6CoreTools).
    local packages=(git cmake ninja-build dpkg-dev file crossbuild-essential-arm64 qt6-base-dev
        qt6-base-dev-tools qt6-base-dev:arm64 qt6-httpserver-dev:arm64 qt6-websockets-dev:arm64)
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "package.sh: installing Debian packages: ${missing[*]}" >&2
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $SUDO dpkg --add-architecture arm64
    fi
    # Other apt-get runs on the machine are waited for, not failed on.
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q >&2
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q \
        --no-install-recommends "${missing[@]}" >&2
}

options=(-DPKTGATE_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
    -DPKTGATE_SYSTEMD_UNITDIR=/lib/systemd/system)
cpack=(cpack -G DEB)
if [ -z "$arch" ]; then
    bash "$top/scripts/setup-deps.sh" dpkg-dev file >&2
    options+=(-DPKTGATE_TESTS=OFF)
else
    setup_arm64
    options+=(-DPKTGATE_TESTS=ON -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake")
    # dpkg-shlibdeps looks for the libraries of the package's architecture (the arm64 ones in
    # /usr/lib/aarch64-linux-gnu, with their shlibs and symbols files) and reads them with the
    # cross objdump when the DEB_HOST_* variables name arm64.
    cpack=(env CC="aarch64-linux-gnu-gcc" dpkg-architecture -a"$arch" -f -c "${cpack[@]}")
fi
echo "package.sh: building in $dir${arch:+ for $arch}" >&2
cmake -S "$top" -B "$dir" -G Ninja "${options[@]}" >&2
cmake --build "$dir" -- -j"$(nproc)" >&2

rm -f "$dir"/pktgate_*.deb
if ! (cd "$dir" && "${cpack[@]}") >"$dir/cpack.log" 2>&1; then
    cat "$dir/cpack.log" >&2
    echo "package.sh: cpack failed" >&2
    exit 1
fi
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$dir/cpack.log" | tail -n 1)"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
    cat "$dir/cpack.log" >&2
    echo "package.sh: cpack made no .deb" >&2
    exit 1
fi
echo "$deb"
