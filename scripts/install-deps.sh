#!/usr/bin/env bash
# Installs whatever the build needs and this machine lacks (Debian, as root).
set -euo pipefail

packages=(g++ cmake ninja-build flex bison libgtest-dev libgmock-dev git clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
