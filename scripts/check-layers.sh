#!/usr/bin/env bash
# Fails when a file of a layer includes a file of a higher layer. The layers, lowest first:
#   net <- config <- agwlink <- relay <- service <- ui
# The simulator (tools/) sits beside the gateway and may use everything below the relay; tests,
# benchmarks and fuzz targets may use every layer.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
layers=(net config agwlink relay service ui)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }
    done
    echo -1
}
bad=0
for dir in "${layers[@]}" tools; do
    own=$(rank "$dir")
    # The simulator stands in for the engine and the node: it may use the AGW codec and below.
    [ "$dir" = tools ] && own=$(rank agwlink)
    while IFS= read -r hit; do
        file=${hit%%:*}
        target=$(sed -E 's/.*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"${hit#*:}")
        case "$target" in */*) ;; *) continue ;; esac
        folder=${target%%/*}
        theirs=$(rank "$folder")
        [ "$theirs" -lt 0 ] && continue
        if [ "$theirs" -gt "$own" ]; then
            echo "check-layers: $file includes $target (a higher layer)"
            bad=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' "$dir" |
        sed -E 's/^([^:]+):[0-9]+:/\1:/')
done
if [ $bad = 1 ]; then exit 1; fi
echo "check-layers: every include goes to the same or a lower layer (${layers[*]})"
