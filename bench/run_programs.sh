#!/usr/bin/env bash
# Runs the workloads of bench/programs with velk_sim and checks their RESULT
# lines against bench/programs/expected.txt, printing the wall seconds of
# each run (velk_sim's output is filtered down to the RESULT line).
#
# Usage: bench/run_programs.sh <bin dir> [name...]
#   <bin dir> holds velk_parser and velk_sim; VELK_PKG_PATH must name the
#   directory of annotations/system/system.velk (default: this repository).
#   A program's simulated run time is its `/* stop-time: N */` comment, or 1 s.
# Exit status 1 when a run fails or prints another result.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin=${1:?usage: run_programs.sh <bin dir> [name...]}
shift
export VELK_PKG_PATH=${VELK_PKG_PATH:-$(dirname "$here")}
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    names=($(grep -v '^#' "$here/programs/expected.txt" | cut -f1))
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
for name in "${names[@]}"; do
    src=$here/programs/$name.velk
    expected=$(grep -P "^$name\t" "$here/programs/expected.txt" | cut -f2)
    stop=$(sed -n 's|.*/\* stop-time: \([0-9.]*\) \*/.*|\1|p' "$src" | head -n 1)
    if ! "$bin/velk_parser" -q "$src" "$work/$name.ast" >"$work/compile.log" 2>&1; then
        echo "$name: not compiled"; status=1; continue
    fi
    start=$(date +%s.%N)
    result=$("$bin/velk_sim" -q -t "${stop:-1}" "$work/$name.ast" 2>/dev/null | grep -o 'RESULT.*')
    end=$(date +%s.%N)
    if [ "$result" = "$expected" ]; then
        printf '%s: %.2f s\n' "$name" "$(echo "$end - $start" | bc)"
    else
        echo "$name: FAIL, printed '$result', expected '$expected'"; status=1
    fi
done
exit $status
