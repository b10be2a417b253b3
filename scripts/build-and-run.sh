#!/usr/bin/env bash
# Installs what is missing, builds everything, and compiles the bundled example.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"

example="${1:-$root/examples/blink/blink.velk}"
echo "== velk_parser $example"
VELK_PKG_PATH="$root" "$build/velk_parser/velk_parser" "$example" "$build/example.ast"
