#!/usr/bin/env bash
# Monte Carlo campaign with GNU parallel: runs IMAGE once per seed FIRST ..
# FIRST+RUNS-1, each run writing its JSON timing report into OUTDIR, then
# merges them into OUTDIR/merged.json with velk_sim --merge-reports.
#
#   montecarlo-parallel.sh IMAGE FIRST RUNS OUTDIR [velk_sim options...]
#
# VELK_SIM names the velk_sim to use (default: velk_sim on the PATH).
# PARALLEL_OPTIONS is passed to parallel before its own options: for
# example "--sshlogin 8/host1,8/host2 --transferfile {} --return {}" spreads
# the runs over several hosts (the image and velk_sim must be reachable at
# the same path there; see docs/timing-analysis.md).
set -euo pipefail
if [ "$#" -lt 4 ]; then
  echo "usage: $0 IMAGE FIRST RUNS OUTDIR [velk_sim options...]" >&2
  exit 2
fi
image=$1 first=$2 runs=$3 outdir=$4
shift 4
sim=${VELK_SIM:-velk_sim}
mkdir -p "$outdir"
# shellcheck disable=SC2086
seq "$first" $((first + runs - 1)) |
  parallel ${PARALLEL_OPTIONS:-} --halt now,fail=1 \
    "$sim" "$@" --trace none --seed {} --report="$outdir/run-{}.json" --report-format json \
    "$image" '>' /dev/null
# Merged in seed order, so the result does not depend on which run ended first.
mapfile -t reports < <(seq "$first" $((first + runs - 1)) | sed "s|^|$outdir/run-|; s|$|.json|")
"$sim" --merge-reports --report="$outdir/merged.json" --report-format json "${reports[@]}"
