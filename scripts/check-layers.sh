#!/usr/bin/env bash
# Fails when a file of a layer reaches up into a higher layer. The layers, lowest first:
#   net <- config <- agwlink <- relay <- service <- ui
# The simulator (tools/) sits beside the gateway and may use everything below the relay; tests,
# benchmarks and fuzz targets may use every layer. What it sees:
#   - an #include "folder/file.h" of a higher layer;
#   - below ui/: a window-system header (<QtWidgets/...>, <QtGui/...>, <QWidget>, <QColor>...), a
#     widget or painting type named in the code, or a CMake library linked with Qt6::Widgets or
#     Qt6::Gui: the window decides how things look, the layers below only say what happened;
#   - a higher layer's class named in the code (outside comments and strings), e.g. the relay
#     naming MainWindow or StatusServer: the call would go through the layers the wrong way.
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

# The window system's types: none of them below ui/.
widgets='QWidget|QMainWindow|QDialog|QApplication|QGuiApplication|QColor|QPalette|QBrush|QAction|QMenu|QMenuBar|QLabel|QLineEdit|QPushButton|QAbstractButton|QCheckBox|QSpinBox|QComboBox|QListView|QListWidget|QTreeView|QTableView|QAbstractItemView|QStyledItemDelegate|QTextEdit|QPlainTextEdit|QMessageBox|QStatusBar|QToolBar|QLayout|QBoxLayout|QGridLayout|QFormLayout|QScreen|QWindow|QPixmap|QImage|QIcon|QFont|QFontMetrics|QPainter|QDesktopServices|QCloseEvent|QResizeEvent|QMoveEvent|QShowEvent'
# Code of a file without its comments and the contents of its strings.
code() { sed -E 's://.*$::; s/"([^"\\]|\\.)*"/""/g' "$1"; }
for dir in net config agwlink relay service tools; do
    while IFS= read -r f; do
        while IFS= read -r hit; do
            echo "check-layers: $f:${hit%%:*} uses the window system (${hit#*:})"
            bad=1
        done < <(code "$f" | grep -nE "#[[:space:]]*include[[:space:]]*<(QtWidgets|QtGui)/|\\b($widgets)\\b" |
            sed -E 's/^([0-9]+):[[:space:]]*/\1:/')
    done < <(find "$dir" -name '*.h' -o -name '*.cpp')
    if [ -f "$dir/CMakeLists.txt" ] && grep -qE 'Qt6?::(Widgets|Gui)\b' "$dir/CMakeLists.txt"; then
        echo "check-layers: $dir/CMakeLists.txt links the window system"
        bad=1
    fi
done

# The classes of each layer, one per header named after it.
declare -A classes
for dir in "${layers[@]}"; do
    names=""
    for h in "$dir"/*.h; do
        n=$(basename "$h" .h)
        grep -qE "^(class|struct) $n\\b[^;]*$" "$h" && names+="$n|"
    done
    classes[$dir]=${names%|}
done
for i in "${!layers[@]}"; do
    dir=${layers[$i]}
    for ((j = i + 1; j < ${#layers[@]}; j++)); do
        up=${layers[$j]}
        [ -z "${classes[$up]}" ] && continue
        for f in "$dir"/*.h "$dir"/*.cpp; do
            while IFS= read -r hit; do
                echo "check-layers: $f:${hit%%:*} names $up's ${hit#*:}"
                bad=1
            done < <(code "$f" | grep -noE "\\b(${classes[$up]})\\b" | sort -u -t: -k2,2)
        done
    done
done

if [ $bad = 1 ]; then exit 1; fi
echo "check-layers: every include and class named goes to the same or a lower layer (${layers[*]}), and the window system stays in ui/"
