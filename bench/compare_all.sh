#!/usr/bin/env bash
# The full side-by-side run behind the README's performance section: each
# data set with the systems its targets need, then bench/results/targets.md.
#
#     bench/compare_all.sh [SET ...]        # default: every set, one after another
#
# SET is a name below. Extra compare.py arguments come from COMPARE_ARGS
# (e.g. "--reps 3 --queries 1000 --timed-queries 200 --peer-builds DIR");
# OUT is the results folder (bench/results).
# Prepare the data first: bench/data.py.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}
out=${OUT:-bench/results}

scans="velq rerank codes|velq srht|velq fast|velq rerank f16|velq rerank off"
graphs="velq graph|velq graph rerank f16|hnswlib|faiss HNSWSQ4"
peers="faiss SQ4|faiss RaBitQ 4-bit"
declare -A runs=(
  [minilm-384]="minilm-384||$scans|$graphs|$peers"
  [synthetic-768]="synthetic-768||$scans|$graphs|$peers"
  [synthetic-1536]="synthetic-1536||$scans|velq srht rerank off|$peers"
  [synthetic-768-l2]="synthetic-768|l2|$scans|$peers"
  [fashion-mnist-784]="fashion-mnist-784||$scans|$graphs|$peers"
  [fashion-mnist-784-ip]="fashion-mnist-784|ip|velq rerank codes|velq rerank off|velq graph"
  [synthetic-768-1m]="synthetic-768-1m||velq rerank off"
)
order=(minilm-384 synthetic-768 synthetic-1536 synthetic-768-l2 fashion-mnist-784
       fashion-mnist-784-ip synthetic-768-1m)

for set in "${@:-${order[@]}}"; do
  IFS='|' read -r -a fields <<<"${runs[$set]:?unknown set $set}"
  metric=()
  [[ -n ${fields[1]} ]] && metric=(--metric "${fields[1]}")
  # shellcheck disable=SC2086
  "$python" bench/compare.py --dataset "${fields[0]}" "${metric[@]}" \
    --systems "${fields[@]:2}" --out "$out" ${COMPARE_ARGS:-}
done
"$python" bench/targets.py --out "$out"
