#!/usr/bin/env bash
# Runs VELK programs on both evaluation engines, the prepared one (default)
# and the tree walker (VELK_ENGINE=tree), and checks that everything printed
# and the exit status are the same byte for byte.
#
# Usage: scripts/compare-engines.sh <bin dir> [-t SECONDS] [--] file.velk...
#   <bin dir> holds velk_parser and velk_sim; VELK_PKG_PATH must name the
#   directory of annotations/system/system.velk (default: this repository).
# Prints one line per program (same / DIFFERENT / not compiled) and exits 1
# when any program differs.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:?usage: compare-engines.sh <bin dir> [-t SECONDS] file.velk...}
shift
stop=2
if [ "${1:-}" = -t ]; then stop=$2; shift 2; fi
[ "${1:-}" = -- ] && shift
export VELK_PKG_PATH=${VELK_PKG_PATH:-$here}
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-engines.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
for src in "$@"; do
    name=$(basename "$src" .velk)
    if ! "$bin/velk_parser" -q "$src" "$work/$name.ast" >"$work/compile.log" 2>&1; then
        echo "not compiled: $src"
        continue
    fi
    (cd "$work" && VELK_ENGINE=tree "$bin/velk_sim" -t "$stop" "$name.ast" >tree.out 2>&1; echo "status $?" >>tree.out)
    (cd "$work" && "$bin/velk_sim" -t "$stop" "$name.ast" >prepared.out 2>&1; echo "status $?" >>prepared.out)
    if cmp -s "$work/tree.out" "$work/prepared.out"; then
        echo "same ($(wc -l <"$work/tree.out") lines): $src"
    else
        echo "DIFFERENT: $src"
        diff "$work/tree.out" "$work/prepared.out" | head -n 10
        status=1
    fi
done
exit $status
