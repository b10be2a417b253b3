#!/usr/bin/env bash
# Compiles every VELK source of the repository, plus generated large sources,
# with two velk_parser binaries and compares what they produce: standard
# output, exit status and image bytes. Used to prove that a compiler change
# leaves every image byte-identical.
#
# Usage: bench/check_images.sh <old velk_parser> <new velk_parser> [generated source...]
# Prints one line per difference and a summary; exit status 1 on any difference.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
old="$(realpath "$1")"
new="$(realpath "$2")"
shift 2
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VELK_PKG_PATH="$root"

compiled=0
differences=0
# Repository sources get the default node capacity, generated ones room for
# their millions of nodes.
capacity=()
compile() {  # binary, source, tag -> files $work/$tag.{out,status,ast}
  local dir
  dir="$(dirname "$2")"
  rm -f "$work/$3.ast" "$work/out.ast"
  # One output name for both, since the compiler prints it.
  (cd "$dir" && "$1" "${capacity[@]}" "$(basename "$2")" "$work/out.ast" >"$work/$3.out" 2>&1)
  echo $? >"$work/$3.status"
  if [ -e "$work/out.ast" ]; then mv "$work/out.ast" "$work/$3.ast"; fi
}

check() {
  local source="$1" what
  compile "$old" "$source" old
  compile "$new" "$source" new
  compiled=$((compiled + 1))
  for what in out status; do
    if ! cmp -s "$work/old.$what" "$work/new.$what"; then
      echo "DIFF $what: $source"
      differences=$((differences + 1))
    fi
  done
  if [ -e "$work/old.ast" ] || [ -e "$work/new.ast" ]; then
    if ! cmp -s "$work/old.ast" "$work/new.ast"; then
      echo "DIFF image: $source"
      differences=$((differences + 1))
    fi
  fi
}

while IFS= read -r -d '' source; do
  check "$source"
done < <(find "$root" -path "$root/build*" -prune -o -name '*.velk' -print0 | sort -z)
capacity=(-m 30000000)
for source in "$@"; do check "$(realpath "$source")"; done

echo "compiled $compiled sources, $differences differences"
[ "$differences" -eq 0 ]
