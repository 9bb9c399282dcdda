#!/usr/bin/env bash
# Builds the Debian package of pktgate with CPack and prints the path of the .deb on stdout
# (everything else goes to stderr, so that deb="$(scripts/package.sh)" works).
#   scripts/package.sh [build-dir]      default build directory: build-pkg/
# Release build with warnings as errors, prefix /usr (the systemd unit in /lib/systemd/system,
# as Debian 12 places units), no tests. Installs what is missing (dpkg-shlibdeps from dpkg-dev
# and file are needed to work out the package's dependencies).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build-pkg}"

bash "$top/scripts/setup-deps.sh" dpkg-dev file >&2
echo "package.sh: building in $dir" >&2
cmake -S "$top" -B "$dir" -G Ninja -DPKTGATE_WERROR=ON -DPKTGATE_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DPKTGATE_SYSTEMD_UNITDIR=/lib/systemd/system >&2
cmake --build "$dir" -- -j"$(nproc)" >&2

rm -f "$dir"/pktgate_*.deb
if ! (cd "$dir" && cpack -G DEB) >"$dir/cpack.log" 2>&1; then
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
