#!/usr/bin/env bash
# Configures and builds pktgate with CMake and Ninja.
#   scripts/build.sh [build-dir] [extra cmake options...]
# The default build directory is build/ at the top of the tree; warnings are errors.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$top/build}"
shift || true
cmake -S "$top" -B "$dir" -G Ninja -DPKTGATE_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -- -j"$(nproc)"
