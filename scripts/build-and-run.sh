#!/usr/bin/env bash
# Installs what is missing, builds everything, compiles an example model and
# runs it for a few seconds in the co-simulation block with velk_sim.
#
#   build-and-run.sh [<source.velk> [<velk_sim options>...]]
#
# Without arguments it runs examples/blink/blink.velk with its input
# enable_in set, so the LED output is seen blinking. Options given after the
# source are passed to velk_sim after the defaults (-q -t 2), so they win:
# for example `build-and-run.sh examples/traffic_light/traffic_light.velk -t 30`.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"

sim_args=(-q -t 2)
if [ $# -eq 0 ]; then
  example="$root/examples/blink/blink.velk"
  sim_args+=(-i enable_in=1)
else
  example="$1"
  shift
  sim_args+=("$@")
fi

echo "== velk_parser $example"
VELK_PKG_PATH="$root" "$build/velk_parser/velk_parser" "$example" "$build/example.ast"

# Run from the build folder so the trace lines name the image briefly.
cd "$build"
echo "== velk_sim ports"
./simulink/velk_sim --ports example.ast
echo "== velk_sim ${sim_args[*]} -o example.csv example.ast"
./simulink/velk_sim "${sim_args[@]}" -o example.csv example.ast
echo "== example.csv (outputs after each hit)"
cat example.csv
