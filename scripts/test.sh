#!/usr/bin/env bash
# Sets up what is missing, builds pktgate with warnings as errors and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup-deps.sh"
if [ "${1:-}" = "--sanitize" ]; then
    dir="$top/build-asan"
    bash "$top/scripts/build.sh" "$dir" -DPKTGATE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
else
    dir="$top/build"
    bash "$top/scripts/build.sh" "$dir"
fi
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure -j2
