#!/usr/bin/env bash
# Installs whatever the build needs and this machine lacks (Debian, as root).
# GNU Octave (with mkoctfile) and gnuplot serve the MEX files' tests in a real
# host; where they cannot be installed, the build goes on without them and
# says so.
set -euo pipefail

packages=(g++ cmake ninja-build flex bison libgtest-dev libgmock-dev git clang libclang-rt-14-dev)
octave_packages=(octave liboctave-dev gnuplot-nox)
# Readers the timing-output tests check velk_sim's files with (vcd2fst,
# rsvg-convert) and GNU parallel for the campaign recipe; without them those
# tests are skipped with a message.
timing_packages=(gtkwave librsvg2-bin parallel)

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || echo "$package"
  done
}

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_octave < <(missing_of "${octave_packages[@]}")
mapfile -t missing_timing < <(missing_of "${timing_packages[@]}")
if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_octave[@]}" -gt 0 ] || [ "${#missing_timing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ "${#missing_octave[@]}" -gt 0 ]; then
  echo "Installing for the Octave MEX tests: ${missing_octave[*]}"
  if ! apt-get install -y -qq "${missing_octave[@]}" >/dev/null; then
    echo "WARNING: Octave could not be installed; the Octave MEX tests will be skipped" >&2
  fi
fi
if [ "${#missing_timing[@]}" -gt 0 ]; then
  echo "Installing for the timing-output tests: ${missing_timing[*]}"
  if ! apt-get install -y -qq --no-install-recommends "${missing_timing[@]}" >/dev/null; then
    echo "WARNING: ${missing_timing[*]} could not be installed; the tests that read velk_sim's VCD and SVG files or run GNU parallel will be skipped" >&2
  fi
fi
