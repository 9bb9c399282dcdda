#!/usr/bin/env bash
# Fails when a C++ file of the tree is not formatted as .clang-format says.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup-deps.sh" clang-format
cd "$top"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "check-format: all C++ files formatted"
