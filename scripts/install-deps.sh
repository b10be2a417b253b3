#!/usr/bin/env bash
# Installs whatever the build needs and this machine lacks (Debian, as root).
# GNU Octave (with mkoctfile) and gnuplot serve the MEX files' tests in a real
# host; where they cannot be installed, the build goes on without them and
# says so.
set -euo pipefail

packages=(g++ cmake ninja-build flex bison libgtest-dev libgmock-dev git)
octave_packages=(octave liboctave-dev gnuplot-nox)

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
      || echo "$package"
  done
}

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_octave < <(missing_of "${octave_packages[@]}")
if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_octave[@]}" -gt 0 ]; then
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
