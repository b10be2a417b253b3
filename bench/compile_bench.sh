#!/usr/bin/env bash
# Compile-time benchmark: generates programs of 10k, 100k and 1M lines and
# compiles each with velk_parser, printing the wall time, the peak resident
# memory and the image size. Usage: bench/compile_bench.sh [build dir] [sizes...]
# (default build dir: build-release; default sizes: 10000 100000 1000000).
# Wall times depend on the machine's load: compare builds with
# `valgrind --tool=callgrind` instruction counts when it is shared.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-release}"
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(10000 100000 1000000)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '%10s %9s %10s %12s\n' lines seconds "peak KB" "image bytes"
for lines in "${sizes[@]}"; do
  "$build/bench/gen_velk_program" "$lines" > "$work/program.velk"
  # Room for every node: the default capacity is too small past ~200k lines.
  VELK_PKG_PATH="$root" /usr/bin/time -f '%e %M' -o "$work/time" \
    "$build/velk_parser/velk_parser" -q -m 100000000 "$work/program.velk" "$work/program.ast"
  read -r seconds peak < "$work/time"
  printf '%10d %9s %10s %12d\n' "$lines" "$seconds" "$peak" "$(stat -c %s "$work/program.ast")"
done
