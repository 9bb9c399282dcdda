#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one on its seed corpus for
# a few seconds, so that they keep building and working. A finding (crash, sanitizer report,
# failed check, leak, timeout) fails the script; the input that caused it is kept in
# build-fuzz/fuzz-findings/ and can be replayed with build-fuzz/fuzz/<target> <file>.
#
#   fuzz/run.sh [seconds per target, default 5] [-- extra libFuzzer options]
#
#   BUILD_DIR=...  build directory (default: build-fuzz at the top of the tree)
#   JOBS=N         parallel compile jobs (default 2)
#
# Long runs: ASAN_OPTIONS=malloc_context_size=2 \
#     build-fuzz/fuzz/fuzz_receive -runs=10000000 <work dir> fuzz/corpus/fuzz_receive
# With the default 30-frame allocation stacks, AddressSanitizer's stack store fills with distinct
# stacks as a run goes on: after a million inputs it takes about a third of the time and 1 GB, and
# the rate falls to about a third. Replay a finding without the option to see whole stacks.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-5}"
shift || true
[ "${1:-}" = "--" ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "fuzz/run.sh: seconds must be a whole number, not '$seconds'" >&2
    exit 2
fi
dir="${BUILD_DIR:-$top/build-fuzz}"
targets=(fuzz_receive fuzz_config fuzz_cutter)

bash "$top/scripts/setup-deps.sh" clang-14 libclang-rt-14-dev
CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$dir" -G Ninja -DPKTGATE_FUZZ=ON \
    -DPKTGATE_TESTS=OFF >/dev/null
cmake --build "$dir" --target "${targets[@]}" -- -j"${JOBS:-2}"

findings="$dir/fuzz-findings"
mkdir -p "$findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t"
    # New inputs go to the scratch directory; the committed seeds are only read.
    if "$dir/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/$t-" "$@" "$work/$t" "$top/fuzz/corpus/$t" \
        >"$work/$t.log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log")"
        echo "fuzz/run.sh: $t: ${runs:-?} runs in ${seconds} s, no finding"
    else
        failed=1
        echo "fuzz/run.sh: $t FOUND A FAULT; its input is in $findings/" >&2
        tail -n 40 "$work/$t.log" >&2
    fi
done
exit $failed
