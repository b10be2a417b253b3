#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: in a normal
# build, and with AddressSanitizer and UndefinedBehaviorSanitizer (the MEX
# files' tests in GNU Octave run in the normal build: Octave cannot load
# sanitizer-instrumented MEX files); then runs each fuzz target for a short
# fixed time (VELK_FUZZ_SECONDS, 60 by default; 0 skips fuzzing) in a clang
# build with the same sanitizers.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc)"

run_suite() {
  local name="$1"
  shift
  local build="$root/build-$name"
  echo "== $name build"
  cmake -S "$root" -B "$build" -G Ninja -DVELK_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

run_suite test -DCMAKE_BUILD_TYPE=RelWithDebInfo
octave_tests="$(ctest --test-dir "$root/build-test" -N -R '^Octave\.' | grep -c 'Test *#' || true)"
if [ "$octave_tests" -gt 0 ]; then
  echo "== Octave MEX tests: $octave_tests ran in the test build"
else
  echo "== Octave MEX tests: SKIPPED (octave-cli or mkoctfile not found)"
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON

seconds="${VELK_FUZZ_SECONDS:-60}"
if [ "$seconds" -gt 0 ]; then
  echo "== fuzz ($seconds s per target)"
  for target in compile tokens image interp sim sched; do
    # One worker process: inputs that only exhaust memory (huge arrays end in
    # the allocator's "Memory error") are skipped, any other finding fails.
    # A fixed seed (VELK_FUZZ_SEED) makes the mutations of a CI run repeatable.
    VELK_FUZZ_BUILD="$root/build-fuzz" "$root/scripts/fuzz.sh" "$target" "$seconds" \
      -fork=1 -ignore_ooms=1 -ignore_timeouts=0 -ignore_crashes=0 -seed="${VELK_FUZZ_SEED:-1}"
  done
fi
