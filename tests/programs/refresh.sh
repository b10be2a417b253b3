#!/bin/sh
# Rewrites the .expected file of every corpus program (or of the programs
# given as arguments) from the current tools' output. Review the diff: an
# expected file records what the program must print, not what it happens to.
#
# Usage: tests/programs/refresh.sh <build dir> [program.velk ...]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 <build dir> [program.velk ...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
if [ $# -eq 0 ]; then
  set -- $(find "$here" -name '*.velk' ! -name '*_inc.velk' | sort)
fi
for program in "$@"; do
  program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
  cmake -DREFRESH=ON \
    -DPARSER="$build/velk_parser/velk_parser" \
    -DHOST="$build/tests/host/velk_test_host" \
    -DSOURCE_DIR="$source_dir" \
    -DPROGRAM="$program" \
    -DWORK_DIR="$build/tests/programs/refresh" \
    -P "$here/run_program.cmake"
  echo "refreshed ${program#$source_dir/}"
done
