#!/usr/bin/env bash
# Monte Carlo campaign as a Slurm job array: one array task per seed, each
# writing its JSON timing report; a dependent job merges them.
#
#   sbatch --array=0-999 montecarlo-slurm.sh IMAGE FIRST OUTDIR [velk_sim options...]
#   sbatch --dependency=afterok:<array job id> --wrap \
#     "velk_sim --merge-reports --report=OUTDIR/merged.json --report-format json OUTDIR/run-*.json"
#
# The seed of a task is FIRST + SLURM_ARRAY_TASK_ID. The merge is the same
# whatever the order of its arguments except for the order of instances
# first seen, which every run of one image shares. VELK_SIM names velk_sim.
#SBATCH --job-name=velk-montecarlo
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
#SBATCH --output=velk-montecarlo-%A_%a.log
set -euo pipefail
image=$1 first=$2 outdir=$3
shift 3
seed=$((first + ${SLURM_ARRAY_TASK_ID:?run this script as a Slurm array job}))
mkdir -p "$outdir"
"${VELK_SIM:-velk_sim}" "$@" --trace none --seed "$seed" \
  --report="$outdir/run-$seed.json" --report-format json "$image" > /dev/null
