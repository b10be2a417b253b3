#!/usr/bin/env bash
# Runs one fuzz target for a fixed time:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is compile, tokens, image, interp, sim or sched. The targets are built with
# clang into build-fuzz/ (override with VELK_FUZZ_BUILD); the working corpus
# lives in build-fuzz/corpus/TARGET, seeded from fuzz/seeds, tests/programs,
# examples and the VELK blocks of docs/ (images: those programs compiled).
# Crashes land in build-fuzz/findings/TARGET. Runs at the lowest priority.
# Set VELK_FUZZ_JOBS=N to run N processes (CPU time grows N-fold).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
target="${1:-}"
seconds="${2:-}"
case "$target" in compile|tokens|image|interp|sim|sched) ;; *)
  echo "usage: $0 compile|tokens|image|interp|sim|sched SECONDS [libFuzzer options...]" >&2; exit 2 ;;
esac
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "$0: SECONDS must be a whole number" >&2; exit 2; }
shift 2
build="${VELK_FUZZ_BUILD:-$root/build-fuzz}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target "fuzz_$target" velk_parser >/dev/null

corpus="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$corpus" "$findings"
seed_programs() {
  local out="$1" f n=0
  for f in "$root"/tests/programs/*/*.velk "$root"/examples/*/*.velk "$root"/examples/*/*/*.velk \
           "$root"/fuzz/seeds/compile/*; do
    [ -f "$f" ] && cp "$f" "$out/seed_$(basename "$(dirname "$f")")_$(basename "$f")"
  done
  # Fenced VELK blocks of the documentation, one file each.
  for f in "$root"/docs/*.md; do
    awk -v out="$out/seed_doc_$(basename "$f" .md)_" \
      '/^```velk/{n++; keep=1; next} /^```/{keep=0} keep{print > (out n ".velk")}' "$f"
  done
}
if [ -z "$(ls -A "$corpus")" ]; then
  case "$target" in
    compile|tokens|interp) seed_programs "$corpus" ;;
    sim|sched) cp "$root"/fuzz/seeds/"$target"/* "$corpus"/ ;;
    image)
      tmp="$(mktemp -d)"
      seed_programs "$tmp"
      for f in "$tmp"/*; do
        (cd "$(dirname "$f")" && "$build/velk_parser/velk_parser" -q -I "$root" "$f" \
           "$corpus/$(basename "$f" .velk).ast" >/dev/null 2>&1) || true
      done
      rm -rf "$tmp"
      ;;
  esac
fi

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024
         -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/")
case "$target" in
  compile|tokens|interp) options+=(-dict="$root/fuzz/velk.dict" -max_len=8192) ;;
  image) options+=(-max_len=65536) ;;
  sim|sched) options+=(-max_len=4096) ;;
esac
if [ -n "${VELK_FUZZ_JOBS:-}" ]; then
  options+=(-fork="$VELK_FUZZ_JOBS")
fi
export VELK_FUZZ_PKG_DIR="$root"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$findings"
# Earlier findings first: each must still pass before new inputs are tried.
regressions="$root/fuzz/regressions/$target"
[ "$target" = tokens ] && regressions="$root/fuzz/regressions/compile"
if [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
  nice -n 19 "$build/fuzz/fuzz_$target" -close_fd_mask=1 -runs=1 "$regressions"/* >/dev/null 2>&1 || {
    echo "$0: a regression input of $target fails again:" >&2
    nice -n 19 "$build/fuzz/fuzz_$target" -runs=1 "$regressions"/* >&2 || true
    exit 1
  }
fi
exec nice -n 19 "$build/fuzz/fuzz_$target" "${options[@]}" "$@" "$corpus"
