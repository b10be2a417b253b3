#!/usr/bin/env bash
# Compile-time benchmark: generates programs of 10k, 100k and 1M lines and
# times velk_parser on each. Usage: bench/compile_bench.sh <build dir>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-release}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for lines in 10000 100000 1000000; do
  "$build/bench/gen_velk_program" "$lines" > "$work/program.velk"
  start=$(date +%s.%N)
  VELK_PKG_PATH="$root" "$build/velk_parser/velk_parser" -q -m 100000000 "$work/program.velk" "$work/program.ast"
  end=$(date +%s.%N)
  printf '%8d lines: %6.2f s\n' "$lines" "$(echo "$end - $start" | bc)"
done
