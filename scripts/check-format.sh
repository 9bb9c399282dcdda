#!/usr/bin/env bash
# Fails when a C++ file of the tree is not formatted as .clang-format says. In a git checkout the
# files are those git tracks; in a tree without git (a source archive) every .cpp and .h below
# the top, build directories and hidden ones left out.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd -P)"
bash "$top/scripts/setup-deps.sh" clang-format
cd "$top"
# The tree is a checkout of its own only when git names it as the top (an archive unpacked inside
# another checkout is not).
if command -v git >/dev/null && [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$top" ]; then
    git ls-files -z '*.cpp' '*.h'
else
    find . \( -path './build*' -o -path './.*' \) -prune -o \
        -type f \( -name '*.cpp' -o -name '*.h' \) -print0
fi | xargs -0 clang-format --dry-run -Werror
echo "check-format: all C++ files formatted"
