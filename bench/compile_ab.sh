#!/usr/bin/env bash
# Alternating compile timings:
#   bench/compile_ab.sh [-n RUNS] [-m NODES] [-l LUA_SOURCE] SOURCE COMPILER...
# Runs every COMPILER (velk_parser binaries) on SOURCE, one after the other,
# RUNS times over (default 21), removing the image before each compile as the
# side-by-side comparison does; with -l, luac5.4 -p on LUA_SOURCE takes its
# turn too. Prints the median, the fastest and the slowest wall time of each
# and, with -l, each compiler's median over luac's.
#
# Alternating keeps a slow spell of a shared machine from landing on one
# compiler only: on a virtual machine, writing a new image file sometimes
# costs the host a fault per page and one run takes half as long again.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=21
nodes=""
lua=""
while getopts "n:m:l:" opt; do
  case "$opt" in
    n) runs="$OPTARG" ;;
    m) nodes="$OPTARG" ;;
    l) lua="$OPTARG" ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 2 ]; then
  echo "usage: $0 [-n RUNS] [-m NODES] [-l LUA_SOURCE] SOURCE COMPILER..." >&2
  exit 2
fi
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "$0: RUNS must be a positive whole number" >&2; exit 2; }
source_file="$1"
shift
[ -f "$source_file" ] || { echo "$0: no such source: $source_file" >&2; exit 2; }
[ -z "$lua" ] || [ -f "$lua" ] || { echo "$0: no such Lua source: $lua" >&2; exit 2; }
[ -z "$lua" ] || command -v luac5.4 >/dev/null || { echo "$0: luac5.4 is not installed" >&2; exit 2; }
export VELK_PKG_PATH="${VELK_PKG_PATH:-$root}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Wall time of one command in seconds, from the shell's own clock (no
# process is started around the command).
time_one() {
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || { echo "$0: failed: $*" >&2; exit 1; }
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f\n", b - a}'
}

names=("$@")
[ -z "$lua" ] || names+=(luac5.4)
for i in $(seq "$runs"); do
  for k in "${!names[@]}"; do
    rm -f "$work/image.ast" "$work/luac.out"
    if [ "${names[$k]}" = luac5.4 ] && [ -n "$lua" ]; then
      t=$(time_one luac5.4 -p -o "$work/luac.out" "$lua")
    else
      t=$(time_one "${names[$k]}" -q ${nodes:+-m "$nodes"} "$source_file" "$work/image.ast")
    fi
    echo "$t" >> "$work/times.$k"
  done
done

median() { sort -g "$1" | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
lua_median=""
[ -z "$lua" ] || lua_median=$(median "$work/times.$((${#names[@]} - 1))")
for k in "${!names[@]}"; do
  med=$(median "$work/times.$k")
  line=$(sort -g "$work/times.$k" | awk -v m="$med" -v n="${names[$k]}" \
    'NR == 1 {lo = $1} {hi = $1} END {printf "%-40s median %.4f s  fastest %.4f  slowest %.4f", n, m, lo, hi}')
  if [ -n "$lua_median" ] && [ "${names[$k]}" != luac5.4 ]; then
    line="$line  $(awk -v a="$med" -v b="$lua_median" 'BEGIN {printf "%.2fx luac", a / b}')"
  fi
  echo "$line"
done
